#!/usr/bin/env bash
# Times the extraction of every attachment of a large mailbox written by
# Python's email package: strellbox-cli (Base64 pass only) against munpack
# and ripmime on the same messages, and checks that each tool wrote every
# attachment byte-identical to the file that was attached.
#
# usage: bench/mail_run.sh [BUILD_DIR] [SIZE_MB]     (defaults: build 200)
#
# munpack reads one message per file, so it gets the same messages split into
# files beforehand (the split is not timed); the others read the mailbox.
# Installs mpack and ripmime when they are missing. Runs each tool once, on a
# mailbox already in the page cache; the figures are ratios of one run.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
size_mb=${2:-200}
cli=$build/bin/strellbox-cli
[ -x "$cli" ] || { echo "build strellbox-cli first ($cli)" >&2; exit 2; }

if ! command -v munpack >/dev/null || ! command -v ripmime >/dev/null; then
  sudo=""; [ "$(id -u)" -ne 0 ] && sudo=sudo
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get install -y -q --no-install-recommends mpack ripmime >/dev/null ||
    { $sudo apt-get update -q >/dev/null && $sudo apt-get install -y -q --no-install-recommends mpack ripmime >/dev/null; }
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/strellbox-mail-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
python3 "$here/make_mailbox.py" "$work" "$size_mb"
cat "$work/mail.mbox" "$work"/msgs/*.eml >/dev/null  # into the page cache

# Seconds taken by a command, to the millisecond.
seconds() {
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null 2>&1
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }'
}

# How many attachments of the manifest stand byte-identical in a folder.
identical() {
  find "$1" -type f -exec md5sum {} + | awk '{ print $1 }' | sort >"$work/got"
  awk '{ print $1 }' "$work/manifest" | sort >"$work/want"
  comm -12 "$work/want" "$work/got" | wc -l
}

mkdir -p "$work/munpack" "$work/ripmime"
t_strell=$(seconds "$cli" scan --only base64 --keep-duplicates --quiet --classic --output "$work/strell" "$work/mail.mbox")
t_strell_dup=$(seconds "$cli" scan --only base64 --quiet --classic --output "$work/strell-dup" "$work/mail.mbox")
t_strell_ext=$(seconds "$cli" scan --only base64 --keep-duplicates --extended --quiet --output "$work/strell-ext" "$work/mail.mbox")
t_ripmime=$(seconds ripmime --mailbox -i "$work/mail.mbox" -d "$work/ripmime" --no_nameless)
t_munpack=$(seconds munpack -q -C "$work/munpack" "$work"/msgs/*.eml)

total=$(wc -l <"$work/manifest")
mbox_mb=$(awk -v b="$(stat -c %s "$work/mail.mbox")" 'BEGIN { printf "%.1f", b / 1e6 }')
echo "mailbox: $mbox_mb MB, $total attachments"
printf "%-42s %8s s  %s/%s identical\n" \
  "strellbox-cli (duplicates kept)" "$t_strell" "$(identical "$work/strell")" "$total" \
  "strellbox-cli (default: duplicates dropped)" "$t_strell_dup" "$(identical "$work/strell-dup")" "$total" \
  "strellbox-cli --extended (duplicates kept)" "$t_strell_ext" "$(identical "$work/strell-ext")" "$total" \
  "ripmime --mailbox" "$t_ripmime" "$(identical "$work/ripmime")" "$total" \
  "munpack (one file per message)" "$t_munpack" "$(identical "$work/munpack")" "$total"
awk -v s="$t_strell" -v e="$t_strell_ext" -v r="$t_ripmime" -v m="$t_munpack" 'BEGIN {
  printf "ripmime takes %.2fx and munpack %.2fx the time of strellbox-cli (classic)\n", r / s, m / s
  printf "ripmime takes %.2fx and munpack %.2fx the time of strellbox-cli --extended\n", r / e, m / e }'
