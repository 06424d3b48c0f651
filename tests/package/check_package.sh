#!/usr/bin/env bash
# Reads a built convbench .deb: its control fields, its file list, the desktop
# entry, metainfo and man pages it carries, lintian's verdict; then unpacks it
# into a scratch root and runs the installed programs from there.
# Usage: check_package.sh PACKAGE.deb
set -euo pipefail
deb=$1
fail() { echo "package: $*" >&2; exit 1; }

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = convbench ] || fail "Package is $(field Package)"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture is $(field Architecture)"
for dep in libc6 'libstdc\+\+6' 'libqt(5core5a|6core6)' 'libqt(5widgets5|6widgets6)' \
           'libqt(5serialport5|6serialport6)'; do
  [[ "$(field Depends)" =~ (^|[ ,|])$dep( |,|$) ]] || fail "Depends lacks $dep: $(field Depends)"
done

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"
for f in usr/bin/convbench usr/bin/convbench-cli usr/bin/convbench-sim \
         usr/share/applications/convbench.desktop \
         usr/share/icons/hicolor/scalable/apps/convbench.svg \
         usr/share/metainfo/io.github.convbench.convbench.metainfo.xml \
         usr/share/man/man1/convbench.1.gz usr/share/man/man1/convbench-cli.1.gz \
         usr/share/man/man1/convbench-sim.1.gz \
         usr/share/doc/convbench/copyright usr/share/doc/convbench/changelog.gz; do
  [ -e "$root/$f" ] || fail "missing $f"
done
desktop-file-validate "$root/usr/share/applications/convbench.desktop"
appstreamcli validate --no-net "$root"/usr/share/metainfo/*.xml >/dev/null ||
  fail "metainfo does not validate"
for page in "$root"/usr/share/man/man1/*.1.gz; do
  warnings=$(zcat "$page" | groff -man -Tutf8 -ww -z 2>&1)
  [ -z "$warnings" ] || fail "$page: $warnings"
done
# The runner's page is its --help: every option it lists is in the page. (Read
# into a file first: grep -q ending a pipe early would fail it under pipefail.)
zcat "$root/usr/share/man/man1/convbench-cli.1.gz" | sed 's/\\-/-/g' >"$root/page"
"$root/usr/bin/convbench-cli" --help >"$root/help"
for opt in $(grep -o -- '--[a-z0-9-]*' "$root/help" | sort -u); do
  grep -q -- "$opt" "$root/page" || fail "convbench-cli.1 lacks $opt"
done
if command -v lintian >/dev/null; then
  errors=$(lintian --no-tag-display-limit "$deb" 2>/dev/null | grep '^E:' || true)
  [ -z "$errors" ] || fail "lintian: $errors"
fi
"$root/usr/bin/convbench-sim" --help >/dev/null
"$root/usr/bin/convbench-cli" --simulate --duration 2 >/dev/null || fail "installed runner did not pass"
echo "package: $(basename "$deb") checked: fields, files, desktop entry, metainfo, man pages, lintian, installed runner"
