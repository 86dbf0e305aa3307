#!/usr/bin/env bash
# Checks the Debian package that scripts/package built: lintian finds no error, the control
# fields are the project's, and the unpacked files are exactly what an install gives.
#   check-package.sh <deb> <source-dir> <app-id> <version> <wm-class>
set -uo pipefail
deb=$1 source=$2 id=$3 version=$4 wm_class=$5
status=0
fail() {
  echo "check-package: $*" >&2
  status=1
}
[ -f "$deb" ] || { echo "check-package: no package $deb" >&2; exit 1; }
echo "check-package: $deb, $(stat -c %s "$deb") bytes"

# lintian: errors fail, the rest is shown.
lintian --fail-on error --display-level '>=info' "$deb" 2>&1 | grep -v 'running with root privileges' ||
  true
lintian --fail-on error "$deb" >/dev/null 2>&1 || fail "lintian reports errors"

field() { dpkg-deb -f "$deb" "$1"; }
echo "Depends: $(field Depends)"
[ "$(field Package)" = quillbox ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', not $version"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture is '$(field Architecture)'"
[ "$(field Section)" = sound ] || fail "Section is '$(field Section)'"
[[ "$(field Maintainer)" == *" <"*@*">" ]] || fail "Maintainer is '$(field Maintainer)'"
[ -n "$(field Description)" ] || fail "no Description"
for lib in libc6 libstdc++6 libqt6core6 libqt6gui6 libqt6widgets6 librtmidi6; do
  [[ ", $(field Depends)" == *", $lib "* ]] || fail "Depends lacks $lib: $(field Depends)"
done

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root" || fail "dpkg-deb -x failed"
"$(dirname "$0")/check-tree.sh" "$root" /usr "$source" "$id" "$version" "$wm_class" || status=1
file -b "$root/usr/bin/quillbox" | grep -q ', stripped' || fail "the packaged program is not stripped"
exit $status
