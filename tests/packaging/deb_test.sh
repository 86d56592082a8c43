#!/bin/sh
# `cpack -G DEB` builds a package that declares its Debian dependencies and
# holds the CLI, the window, the desktop entry, the icons, the man pages
# and the completions; `dpkg -i` installs it, both programs run from
# /usr/bin (the CLI scans the samples and writes its report), man finds
# the pages, and `dpkg -r` removes it all again.
#
# It installs into the system, so it runs only as root, never beside a
# strellbox package installed otherwise, and one at a time on a machine.
# Exit status 77 tells ctest it was skipped.
#   deb_test.sh BUILD_DIR SOURCE_DIR
set -eu
build="$1"
source="$2"

if [ "$(id -u)" -ne 0 ] || ! command -v dpkg > /dev/null; then
  echo "skipped: needs root and dpkg"
  exit 77
fi
exec 9> /var/lock/strellbox-deb-test.lock
flock 9
if dpkg-query -W -f='${Status}' strellbox 2> /dev/null | grep -q 'install ok installed'; then
  echo "skipped: a strellbox package is installed already"
  exit 77
fi

work=$(mktemp -d)
installed=no
cleanup() {
  if [ "$installed" = yes ]; then dpkg -r strellbox > /dev/null 2>&1 || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

cpack -G DEB -B "$work/package" --config "$build/CPackConfig.cmake" > "$work/cpack.log" ||
  { cat "$work/cpack.log" >&2; exit 1; }
deb=$(ls "$work"/package/strellbox_*.deb)

# Its dependencies come from what the programs link.
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for package in libqt6widgets6 libqt6network6 libssl3 zlib1g liblzma5 libplist3 libfmt9 libc6; do
  printf '%s\n' "$depends" | tr ',' '\n' | grep -q "^ *$package\b" ||
    { echo "Depends lacks $package" >&2; exit 1; }
done
contents=$(dpkg-deb -c "$deb" | awk '{print $NF}')
for file in ./usr/bin/strellbox ./usr/bin/strellbox-cli \
  ./usr/share/applications/strellbox.desktop \
  ./usr/share/icons/hicolor/scalable/apps/strellbox.svg \
  ./usr/share/icons/hicolor/48x48/apps/strellbox.png \
  ./usr/share/man/man1/strellbox-cli.1.gz ./usr/share/man/man1/strellbox.1.gz \
  ./usr/share/bash-completion/completions/strellbox-cli \
  ./usr/share/zsh/vendor-completions/_strellbox-cli; do
  printf '%s\n' "$contents" | grep -qx "$file" || { echo "package lacks $file" >&2; exit 1; }
done

installed=yes
dpkg -i "$deb" > "$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; exit 1; }
test "$(command -v strellbox-cli)" = /usr/bin/strellbox-cli
/usr/bin/strellbox-cli --version | grep -qx "strellbox-cli $(dpkg-deb -f "$deb" Version)"
/usr/bin/strellbox --version | grep -q '^strellbox '
HOME="$work" /usr/bin/strellbox-cli scan --quiet --output "$work/out" "$source/samples"
xmllint --noout "$work/out/samples Strell/report.xml"
test "$(ls "$work/out/samples Strell" | wc -l)" -gt 10
test "$(man -w strellbox-cli)" = /usr/share/man/man1/strellbox-cli.1.gz
test "$(man -w strellbox)" = /usr/share/man/man1/strellbox.1.gz

dpkg -r strellbox > "$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; exit 1; }
installed=no
for file in /usr/bin/strellbox /usr/bin/strellbox-cli /usr/share/man/man1/strellbox-cli.1.gz \
  /usr/share/bash-completion/completions/strellbox-cli; do
  test ! -e "$file" || { echo "$file left after removal" >&2; exit 1; }
done
echo "the package installs, runs from /usr/bin and is removed"
