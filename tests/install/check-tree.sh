#!/usr/bin/env bash
# Checks every file that quillbox installs, in a tree laid out as on the target machine:
#   check-tree.sh <root> <prefix> <source-dir> <app-id> <version> <wm-class>
# <root> is a DESTDIR or an unpacked package; the files must be exactly the expected ones,
# under <root><prefix>, and each must be what it claims to be.
set -uo pipefail
root=$1 prefix=$2 source=$3 id=$4 version=$5 wm_class=$6
top=$root$prefix
status=0
fail() {
  echo "check-tree: $prefix: $*" >&2
  status=1
}

# Exactly these files, nothing more.
expected=(
  bin/quillbox
  lib/systemd/user/quillbox.service
  "share/applications/$id.desktop"
  "share/metainfo/$id.metainfo.xml"
  share/man/man1/quillbox.1.gz
  share/doc/quillbox/README.md
  share/doc/quillbox/copyright
  share/doc/quillbox/changelog.gz
  "share/icons/hicolor/scalable/apps/$id.svg"
)
sizes=(16 22 24 32 48 64 128 256)
for n in "${sizes[@]}"; do expected+=("share/icons/hicolor/${n}x${n}/apps/$id.png"); done
for shot in "$source"/docs/*.png; do expected+=("share/doc/quillbox/docs/${shot##*/}"); done
want=$(for f in "${expected[@]}"; do echo ".$prefix/$f"; done | sort)
have=$(cd "$root" && find . -type f -o -type l | sort)
if [ "$want" != "$have" ]; then
  fail "installed files differ from the expected ones (< expected, > installed):"
  diff <(echo "$want") <(echo "$have") >&2
fi

# The program.
[ -x "$top/bin/quillbox" ] || fail "bin/quillbox is not executable"
file -b "$top/bin/quillbox" | grep -q '^ELF .* executable' || fail "bin/quillbox is no ELF program"

# The desktop entry: valid, and pointing at the program, the icon and the window class.
entry=$top/share/applications/$id.desktop
if ! out=$(desktop-file-validate "$entry" 2>&1); then
  fail "desktop-file-validate: $out"
elif [ -n "$out" ]; then
  echo "desktop-file-validate: $out"
fi
key() { sed -n "s/^$1=//p" "$entry"; }
[ "$(key Type)" = Application ] || fail "desktop entry: Type is not Application"
[ "$(key Exec)" = quillbox ] || fail "desktop entry: Exec is '$(key Exec)'"
[ "$(key Icon)" = "$id" ] || fail "desktop entry: Icon is '$(key Icon)'"
[ "$(key StartupWMClass)" = "$wm_class" ] || fail "desktop entry: StartupWMClass is '$(key StartupWMClass)'"
[ "$(key Categories)" = "AudioVideo;Audio;Midi;" ] || fail "desktop entry: Categories are '$(key Categories)'"
for k in Name GenericName Comment; do [ -n "$(key $k)" ] || fail "desktop entry: no $k"; done
for word in OSC MIDI Traktor VirtualDJ timecode lighting DJ; do
  [[ ";$(key Keywords)" == *";$word;"* ]] || fail "desktop entry: keyword $word missing"
done

# The systemd user unit starts the program where it is installed; check-service.sh has systemd
# verify it.
unit=$top/lib/systemd/user/quillbox.service
exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
[ "$exec_start" = "$prefix/bin/quillbox" ] || fail "quillbox.service: ExecStart is '$exec_start'"

# The AppStream metadata: valid, and the same id, program and version.
meta=$top/share/metainfo/$id.metainfo.xml
out=$(appstreamcli validate --no-net "$meta" 2>&1) || fail "appstreamcli validate: $out"
grep -q "<id>$id</id>" "$meta" || fail "metainfo: id is not $id"
grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$meta" ||
  fail "metainfo: the launchable is not $id.desktop"
grep -q '<binary>quillbox</binary>' "$meta" || fail "metainfo: provides no binary quillbox"
grep -q '<project_license>GPL-3.0-or-later</project_license>' "$meta" || fail "metainfo: project license"
grep -q '<content_rating type="oars-1.1"' "$meta" || fail "metainfo: no content rating"
newest=$(grep -o '<release version="[^"]*"' "$meta" | head -n1 | cut -d'"' -f2)
[ "$newest" = "$version" ] || fail "metainfo: newest release is '$newest', not $version"

# The manual page: renders without a warning and has the sections users look for.
man=$top/share/man/man1/quillbox.1.gz
gzip -t "$man" || fail "the manual page is no gzip file"
warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$man" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "the manual page has warnings: $warnings"
page=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$man" 2>/dev/null)
for section in NAME SYNOPSIS DESCRIPTION OPTIONS "UDP PORTS" "MIDI OUTPUTS" FILES SIGNALS \
  "EXIT STATUS"; do
  grep -q "^$section\$" <<<"$page" || fail "the manual page has no $section section"
done
grep -q "quillbox $version" <<<"$page" || fail "the manual page does not name version $version"
grep -q 'quillbox.ini' <<<"$page" || fail "the manual page does not name the settings file"

# The documents Debian wants.
doc=$top/share/doc/quillbox
cmp -s "$doc/README.md" "$source/README.md" || fail "README.md is not the project's README"
head -n1 "$doc/copyright" | grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
  fail "copyright is not in the machine-readable format"
grep -q '^License: GPL-3+$' "$doc/copyright" || fail "copyright does not name GPL-3+"
changelog_version=$(zcat "$doc/changelog.gz" | dpkg-parsechangelog -l- -S Version 2>&1)
[ "$changelog_version" = "$version" ] || fail "changelog: newest entry is '$changelog_version', not $version"

# The icons: each PNG is as large as its folder says; the pixels are checked by icons_test.
for n in "${sizes[@]}"; do
  png=$top/share/icons/hicolor/${n}x${n}/apps/$id.png
  file -b "$png" | grep -q "^PNG image data, $n x $n," || fail "$png is not a $n x $n PNG"
done
file -b "$top/share/icons/hicolor/scalable/apps/$id.svg" | grep -q '^SVG' || fail "the scalable icon is no SVG"

[ $status -eq 0 ] && echo "check-tree: $prefix: all ${#expected[@]} files as expected"
exit $status
