#!/usr/bin/env python3
"""Writes a large mailbox with Python's email package, for bench/mail_run.sh.

usage: make_mailbox.py OUT_DIR SIZE_MB

OUT_DIR/mail.mbox   the mailbox (LF lines, written by the mailbox module)
OUT_DIR/msgs/*.eml  the same messages, one file each (for tools that read one
                    message per file)
OUT_DIR/manifest    one line per attachment: MD5, size, file name

Attachments are random bytes (so nothing compresses or repeats) behind the
first bytes of a common file type, 4 KB to 4 MB, one to three per message.
"""

import email.message
import email.policy
import hashlib
import mailbox
import math
import random
import sys
from pathlib import Path

KINDS = [
    ("report", "pdf", "application", "pdf", b"%PDF-1.4\n"),
    ("photo", "png", "image", "png", b"\x89PNG\r\n\x1a\n"),
    ("archive", "zip", "application", "zip", b"PK\x03\x04"),
    ("data", "bin", "application", "octet-stream", b"\x01\x02\x03\x04"),
]


def main():
    out = Path(sys.argv[1])
    target = int(sys.argv[2]) * 1_000_000
    rng = random.Random(7)
    (out / "msgs").mkdir(parents=True, exist_ok=True)
    box_path = out / "mail.mbox"
    box_path.unlink(missing_ok=True)
    box = mailbox.mbox(box_path)
    manifest = []
    total = 0
    n = 0
    while total < target:
        m = email.message.EmailMessage()
        m["From"] = f"Sender {n} <sender{n}@example.com>"
        m["To"] = "archive@example.com"
        m["Subject"] = f"Files, batch {n}"
        m.set_content(f"Hello,\n\nhere are the files of batch {n}.\n\nRegards\n")
        for _ in range(rng.randint(1, 3)):
            stem, ext, maintype, subtype, head = rng.choice(KINDS)
            size = int(math.exp(rng.uniform(math.log(4_000), math.log(4_000_000))))
            data = head + rng.randbytes(size)
            name = f"{stem}-{len(manifest):05d}.{ext}"
            m.add_attachment(data, maintype=maintype, subtype=subtype, filename=name)
            manifest.append(f"{hashlib.md5(data).hexdigest()} {len(data)} {name}")
            total += len(data) * 4 // 3
        raw = m.as_bytes(policy=email.policy.default)
        (out / "msgs" / f"{n:05d}.eml").write_bytes(raw)
        box.add(m)
        n += 1
    box.close()
    (out / "manifest").write_text("\n".join(manifest) + "\n")
    print(f"{n} messages, {len(manifest)} attachments, {box_path.stat().st_size} bytes")


if __name__ == "__main__":
    main()
