#!/usr/bin/env bash
# Pictures inside the containers real programs write: LibreOffice (binary,
# OOXML and ODF documents, RTF), GNU tar with each compressor, 7-Zip (7z and
# zip with LZMA and bzip2), Python's sqlite3 (a blob below and one above the
# page size; a write-ahead log not checkpointed), libgsf (an Outlook message
# with two attachments), and a disk image of random filler holding all of
# them at 512-byte aligned offsets.
#
# For each writer and each tool (strellbox-cli with the default rules,
# `binwalk -e`, foremost with its picture types) it prints how many of the
# pictures put in came out byte-identical, and how many damaged pictures came
# out (a picture file that is none of those put in and that ImageMagick
# cannot decode without a warning). Exits non-zero when strellbox-cli misses
# a picture or writes a damaged one.
#
# Usage: bench/container_writers.sh [build-dir]   (default: build)
set -euo pipefail
build=${1:-build}
cli=$(realpath "$build/bin/strellbox-cli")
for tool in binwalk foremost soffice 7z gsf zstd; do
  command -v "$tool" >/dev/null || { echo "container_writers: $tool is missing" >&2; exit 2; }
done
work=$(mktemp -d "${TMPDIR:-/tmp}/strellbox-writers-XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
export HOME="$work"  # LibreOffice's profile, binwalk's config

# The pictures: one PNG and one JPEG larger than an Excel record (8224 bytes),
# a small PNG that fits a SQLite page, and a BMP that the archivers do
# compress (they store the others as they are).
mkdir -p pics
convert -seed 1 -size 160x120 plasma:fractal pics/a.png
convert -seed 2 -size 240x180 plasma:fractal -quality 90 pics/b.jpg
convert -size 24x24 gradient:red-blue pics/c.png
convert -size 64x48 gradient:red-blue BMP3:pics/d.bmp
sha256sum pics/* | cut -d' ' -f1 | sort > wanted.txt

# LibreOffice: one flat ODF document per kind, converted to each format.
b64() { base64 -w0 "$1"; }
frame() {
  printf '<draw:frame %s svg:x="1cm" svg:y="1cm" svg:width="4cm" svg:height="3cm"><draw:image><office:binary-data>%s</office:binary-data></draw:image></draw:frame>' "$2" "$(b64 "$1")"
}
ns='xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0" xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0" xmlns:table="urn:oasis:names:tc:opendocument:xmlns:table:1.0" xmlns:draw="urn:oasis:names:tc:opendocument:xmlns:drawing:1.0" xmlns:svg="urn:oasis:names:tc:opendocument:xmlns:svg-compatible:1.0"'
doc() { printf '<?xml version="1.0"?><office:document %s office:version="1.2" office:mimetype="application/vnd.oasis.opendocument.%s"><office:body>%s</office:body></office:document>' "$ns" "$1" "$2"; }
para='text:anchor-type="paragraph"'
doc text "<office:text><text:p>$(frame pics/a.png "$para")$(frame pics/b.jpg "$para")</text:p></office:text>" > doc.fodt
doc presentation "<office:presentation><draw:page draw:name=\"s\">$(frame pics/a.png '')$(frame pics/b.jpg '')</draw:page></office:presentation>" > show.fodp
doc spreadsheet "<office:spreadsheet><table:table table:name=\"t\"><table:shapes>$(frame pics/a.png '')$(frame pics/b.jpg '')</table:shapes><table:table-row><table:table-cell/></table:table-row></table:table></office:spreadsheet>" > book.fods
office() { soffice -env:UserInstallation="file://$work/profile" --headless --convert-to "$@" >/dev/null 2>&1; }
office 'doc:MS Word 97' doc.fodt
office docx doc.fodt
office odt doc.fodt
office rtf doc.fodt
office 'ppt:MS PowerPoint 97' show.fodp
office pptx show.fodp
office odp show.fodp
office 'xls:MS Excel 97' book.fods
office xlsx book.fods
office ods book.fods

# GNU tar and 7-Zip.
tar cf pics.tar pics
tar czf pics.tar.gz pics
tar cJf pics.tar.xz pics
tar cjf pics.tar.bz2 pics
tar --zstd -cf pics.tar.zst pics
7z a -bd pics.7z pics >/dev/null
7z a -bd -tzip -mm=LZMA pics-lzma.zip pics >/dev/null
7z a -bd -tzip -mm=BZip2 pics-bzip2.zip pics >/dev/null

# SQLite: a blob below the page size and two above it; then a database in
# write-ahead mode whose pictures are only in its log.
python3 - <<'EOF'
import os, shutil, sqlite3
blobs = [open("pics/" + n, "rb").read() for n in ("c.png", "a.png", "b.jpg")]
c = sqlite3.connect("pics.sqlite")
c.execute("CREATE TABLE t (name TEXT, data BLOB)")
c.executemany("INSERT INTO t VALUES (?, ?)", [(str(i), b) for i, b in enumerate(blobs)])
c.commit(); c.close()
c = sqlite3.connect("w.db")
c.execute("PRAGMA journal_mode=WAL"); c.execute("PRAGMA wal_autocheckpoint=0")
c.execute("CREATE TABLE t (name TEXT, data BLOB)")
c.executemany("INSERT INTO t VALUES (?, ?)", [(str(i), b) for i, b in enumerate(blobs)])
c.commit()
os.makedirs("wal", exist_ok=True)
shutil.copy("w.db", "wal/w.db"); shutil.copy("w.db-wal", "wal/w.db-wal")
c.close()
EOF

# An Outlook message: the attachment storages laid out by hand, the compound
# file written by libgsf.
m=message
mkdir -p "$m/__attach_version1.0_#00000000" "$m/__attach_version1.0_#00000001"
printf 'Pictures' | iconv -t UTF-16LE > "$m/__substg1.0_0037001F"
cp pics/a.png "$m/__attach_version1.0_#00000000/__substg1.0_37010102"
printf 'plasma.png' | iconv -t UTF-16LE > "$m/__attach_version1.0_#00000000/__substg1.0_3707001F"
cp pics/b.jpg "$m/__attach_version1.0_#00000001/__substg1.0_37010102"
printf 'PHOTO.JPG' > "$m/__attach_version1.0_#00000001/__substg1.0_3704001E"
(cd "$m" && gsf createole ../mail.msg ./* >/dev/null)

writers=(doc.doc doc.docx doc.odt doc.rtf show.ppt show.pptx show.odp book.xls book.xlsx book.ods
         pics.tar pics.tar.gz pics.tar.xz pics.tar.bz2 pics.tar.zst pics.7z pics-lzma.zip
         pics-bzip2.zip pics.sqlite wal mail.msg)

# The disk image: random filler with every file above at a 512-byte boundary.
python3 - "${writers[@]}" <<'EOF'
import os, sys
out = open("disk.img", "wb")
def pad(): out.write(os.urandom(512 * (3 + os.urandom(1)[0] % 8)))
for w in sys.argv[1:]:
    for f in ([os.path.join(w, n) for n in sorted(os.listdir(w))] if os.path.isdir(w) else [w]):
        pad(); data = open(f, "rb").read(); out.write(data)
        out.write(os.urandom((-len(data)) % 512))
pad()
EOF
writers+=(disk.img)

# Counts the wanted pictures and the damaged ones among the files under $1.
count() {
  python3 - "$1" <<'EOF'
import hashlib, os, subprocess, sys
wanted = set(open("wanted.txt").read().split())
found, damaged = set(), 0
for root, _, names in os.walk(sys.argv[1]):
    for n in names:
        p = os.path.join(root, n)
        if os.path.islink(p) or not os.path.isfile(p):
            continue
        h = hashlib.sha256(open(p, "rb").read()).hexdigest()
        if h in wanted:
            found.add(h)
        elif n.lower().rsplit(".", 1)[-1] in ("png", "jpg", "jpeg", "gif", "bmp", "tif", "tiff"):
            ok = subprocess.run(["convert", "-regard-warnings", p, "null:"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0
            damaged += not ok
print(f"{len(found)} {damaged}")
EOF
}

runas=()
if [ "$(id -u)" -eq 0 ] && binwalk --help 2>&1 | grep -q run-as; then runas=(--run-as=root); fi
status=0
printf '%-16s %-16s %-16s %-16s\n' writer strellbox binwalk-e foremost
for w in "${writers[@]}"; do
  # The pictures each file holds: the small PNG only went into the databases.
  case "$w" in pics.tar* | pics.7z | pics-*.zip | disk.img) need=4 ;; pics.sqlite | wal) need=3 ;; *) need=2 ;; esac
  rm -rf out-s out-b out-f
  "$cli" scan --quiet --output out-s "$w" >/dev/null
  if [ -d "$w" ]; then inputs=("$w"/*); else inputs=("$w"); fi
  mkdir -p out-b out-f
  for f in "${inputs[@]}"; do
    (cd out-b && binwalk "${runas[@]}" -q -e -C "x-$(basename "$f")" "$work/$f" >/dev/null 2>&1) || true
    foremost -Q -t jpg,png,gif,bmp -o "out-f/$(basename "$f")" "$f" >/dev/null 2>&1 || true
  done
  read -r s sd < <(count out-s)
  read -r b bd < <(count out-b)
  read -r f fd < <(count out-f)
  printf '%-16s %-16s %-16s %-16s\n' "$w" "$s/$need ($sd bad)" "$b/$need ($bd bad)" \
    "$f/$need ($fd bad)"
  if [ "$s" -lt "$need" ] || [ "$sd" -ne 0 ]; then status=1; fi
done
exit $status
