#!/usr/bin/env bash
# Installs the build into DESTDIR folders inside the build tree, once for /usr and once for
# /usr/local, and checks every file:
#   check-install.sh <build-dir> <stage-dir> <source-dir> <app-id> <version> <wm-class>
# <stage-dir>/usr stays behind for the icon test.
set -euo pipefail
build=$1 stage=$2
shift 2
here=$(dirname "$0")
status=0
for prefix in /usr /usr/local; do
  dest=$stage$([ $prefix = /usr ] || echo -local)
  rm -rf "$dest"
  DESTDIR=$dest cmake --install "$build" --prefix $prefix >/dev/null
  "$here/check-tree.sh" "$dest" $prefix "$@" || status=1
done
exit $status
