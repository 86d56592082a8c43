#!/usr/bin/env bash
# Counts, per kind of mail, the attachments that each tool writes byte-exact
# under the name their header gives: strellbox-cli (Base64 pass, classic and
# extended rules) against munpack and ripmime on the same mailboxes.
#
# usage: bench/mail_compare.sh [BUILD_DIR]     (default: build)
#
# The mailboxes come from tests/extractors/make_mail.py (Python's email
# package; uuencode by binascii, yEnc by the yenc module), LF and CR LF.
# munpack reads one message per file, so it gets the messages split out
# first; ripmime reads the mailbox. An attachment counts for a tool when a
# file of its output folder (any depth) has the attachment's bytes and the
# last path component of the header's name as its name (any name when the
# header gives none). Installs mpack and ripmime when they are missing.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
cli=$build/bin/strellbox-cli
[ -x "$cli" ] || { echo "build strellbox-cli first ($cli)" >&2; exit 2; }

if ! command -v munpack >/dev/null || ! command -v ripmime >/dev/null; then
  sudo=""; [ "$(id -u)" -ne 0 ] && sudo=sudo
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get install -y -q --no-install-recommends mpack ripmime >/dev/null ||
    { $sudo apt-get update -q >/dev/null && $sudo apt-get install -y -q --no-install-recommends mpack ripmime >/dev/null; }
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/strellbox-mail-compare-XXXXXX")
trap 'rm -rf "$work"' EXIT
convert -size 40x30 gradient:orange-navy "$work/inside.png"
convert -size 64x48 gradient:red-blue "$work/photo.jpg"

# Attachments of the case folder found byte-exact in an output folder, under
# their header's name (any name for an attachment whose header gives none).
score() {
  /usr/bin/python3 - "$1" "$2" <<'EOF'
import hashlib, os, sys
case, out = sys.argv[1], sys.argv[2]
names = open(os.path.join(case, "names.txt"), encoding="utf-8").read().split("\n")[:-1]
files = {}
for root, _, found in os.walk(out):
    for f in found:
        with open(os.path.join(root, f), "rb") as h:
            files.setdefault(hashlib.sha256(h.read()).hexdigest(), set()).add(f)
hits = 0
for k, name in enumerate(names):
    with open(os.path.join(case, f"att-{k}.bin"), "rb") as h:
        digest = hashlib.sha256(h.read()).hexdigest()
    found = files.get(digest, set())
    hits += bool(found) if not name else os.path.basename(name) in found
print(f"{hits}/{len(names)}")
EOF
}

printf "| %-24s | %-17s | %-18s | %-7s | %-7s |\n" "Mail" "strellbox classic" "strellbox extended" "munpack" "ripmime"
printf "|%s|%s|%s|%s|%s|\n" "--------------------------" "-------------------" "--------------------" "---------" "---------"
for scenario in named unnamed quoted run disposition-first small-first capitals forward qp names \
    uuencode yenc zip; do
  for eol in lf crlf; do
    case=$work/$scenario-$eol
    mkdir -p "$case"
    /usr/bin/python3 "$here/../tests/extractors/make_mail.py" "$case" "$scenario" \
      --jpeg "$work/photo.jpg" --png "$work/inside.png" $([ $eol = crlf ] && echo --crlf)
    mkdir -p "$case/msgs" "$case/munpack" "$case/ripmime"
    /usr/bin/python3 - "$case" <<'EOF'
import mailbox, os, sys
case = sys.argv[1]
for k, m in enumerate(mailbox.mbox(os.path.join(case, "mail.mbox"))):
    with open(os.path.join(case, "msgs", f"{k:03d}.eml"), "wb") as f:
        f.write(m.as_bytes())
EOF
    "$cli" scan --only base64 --keep-duplicates --quiet --classic --output "$case/classic" "$case/mail.mbox" || true
    "$cli" scan --only base64 --keep-duplicates --quiet --extended --output "$case/extended" \
      "$case/mail.mbox" || true
    (cd "$case/munpack" && for m in "$case"/msgs/*.eml; do munpack -q -f "$m" >/dev/null 2>&1 || true; done)
    ripmime --mailbox -i "$case/mail.mbox" -d "$case/ripmime" >/dev/null 2>&1 || true
    printf "| %-24s | %-17s | %-18s | %-7s | %-7s |\n" "$scenario ($eol)" \
      "$(score "$case" "$case/classic")" "$(score "$case" "$case/extended")" \
      "$(score "$case" "$case/munpack")" "$(score "$case" "$case/ripmime")"
  done
done
