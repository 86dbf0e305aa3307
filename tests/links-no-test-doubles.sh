#!/bin/sh
# links-no-test-doubles.sh NM BINARY: fails when BINARY holds a test double's symbols, and also
# when NM cannot read it, so that a broken tool or a missing file never passes as "clean".
set -eu
nm=$1
binary=$2
symbols=$("$nm" -C "$binary") || { echo "$nm failed on $binary" >&2; exit 1; }
# A stripped or empty file lists nothing and would pass vacuously: the product's own code must show.
if ! printf '%s\n' "$symbols" | grep -q 'qb::'; then
  echo "$binary lists none of the product's symbols" >&2
  exit 1
fi
if printf '%s\n' "$symbols" | grep -E 'ScriptedSocketLibrary|FakeTrayService|FakeMidiService'; then
  echo "$binary links a test double" >&2
  exit 1
fi
