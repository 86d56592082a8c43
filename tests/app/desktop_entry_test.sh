#!/bin/sh
# The desktop entry passes desktop-file-validate, and `cmake --install` puts
# the program, the entry and the icon (SVG and every PNG size, each as
# large as its folder says) where the desktop looks for them, and the CLI,
# both man pages and the CLI's completions where man and the shells do.
#   desktop_entry_test.sh BUILD_DIR SOURCE_DIR
set -eu
build="$1"
source="$2"
entry="$source/src/app/data/strellbox.desktop"
desktop-file-validate "$entry"

prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" > /dev/null
test -x "$prefix/bin/strellbox"
installed="$prefix/share/applications/strellbox.desktop"
cmp "$entry" "$installed"
# The entry starts the installed program with the files it is given, and
# names the installed icon.
grep -qx 'Exec=strellbox %F' "$installed"
grep -qx 'Icon=strellbox' "$installed"
for type in application/mbox message/rfc822 application/pdf application/zip \
  application/octet-stream inode/directory; do
  grep '^MimeType=' "$installed" | tr ';=' '\n\n' | grep -qx "$type"
done
icons="$prefix/share/icons/hicolor"
test -s "$icons/scalable/apps/strellbox.svg"
grep -q '<svg' "$icons/scalable/apps/strellbox.svg"
for size in 16 24 32 48 64 128 256; do
  png="$icons/${size}x${size}/apps/strellbox.png"
  test "$(identify -format '%wx%h' "$png")" = "${size}x${size}"
done
test -x "$prefix/bin/strellbox-cli"
for page in strellbox strellbox-cli; do
  zcat "$prefix/share/man/man1/$page.1.gz" | cmp - "$source/docs/man/$page.1"
done
cmp "$source/src/cli/completions/strellbox-cli.bash" \
  "$prefix/share/bash-completion/completions/strellbox-cli"
cmp "$source/src/cli/completions/_strellbox-cli" \
  "$prefix/share/zsh/vendor-completions/_strellbox-cli"
echo "desktop entry valid; installed under $prefix"
