#!/usr/bin/env bash
# Installs the build into a prefix of its own (no DESTDIR, so the unit names the program where it
# really is) and has systemd check the user unit there, as a user manager would load it:
#   check-service.sh <build-dir> <scratch-dir>
# Skips (exit 77) where systemd-analyze is not installed.
set -uo pipefail
build=$1 scratch=$2
if ! command -v systemd-analyze >/dev/null; then
  echo "check-service: no systemd-analyze here, nothing checked"
  exit 77
fi
prefix=$scratch/prefix
rm -rf "$scratch"
mkdir -p "$scratch/runtime"
chmod 700 "$scratch/runtime"
cmake --install "$build" --prefix "$prefix" >/dev/null || exit 1
unit=$prefix/lib/systemd/user/quillbox.service
[ -f "$unit" ] || { echo "check-service: no $unit" >&2; exit 1; }

status=0
fail() {
  echo "check-service: $*" >&2
  status=1
}
# A user manager needs a runtime folder; a private one keeps the check off the real session.
# Manual pages are checked by the install's own test, not looked up on this machine.
out=$(XDG_RUNTIME_DIR=$scratch/runtime systemd-analyze --user --man=no verify "$unit" 2>&1) ||
  fail "systemd-analyze verify failed"
[ -z "$out" ] || fail "systemd-analyze verify: $out"
key() { sed -n "s/^$1=//p" "$unit"; }
[ "$(key ExecStart)" = "$prefix/bin/quillbox" ] || fail "ExecStart is '$(key ExecStart)'"
[ "$(key Restart)" = on-failure ] || fail "Restart is '$(key Restart)'"
[ "$(key WantedBy)" = default.target ] || fail "WantedBy is '$(key WantedBy)'"
[ $status -eq 0 ] && echo "check-service: $unit verified"
exit $status
