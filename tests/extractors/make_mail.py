#!/usr/bin/env python3
"""Writes a mailbox made with Python's email package, and every attachment.

usage: make_mail.py OUT_DIR SCENARIO [--crlf] [--jpeg FILE] [--count N]

OUT_DIR/mail.mbox gets the mailbox; OUT_DIR/att-<k>.bin the bytes of the
k-th attachment in the order they stand in the mailbox. With --crlf every
line of the mailbox ends in CR LF (the form mail takes on the wire).

Scenarios:
  named     four messages: photo.jpg (the --jpeg file), report.pdf, then
            data.bin with archive.tar.gz, then a name as an encoded word
  unnamed   one message with --count attachments (default 3) without names
  quoted    the report.pdf message quoted once (">") and then twice (">>")
  run       a Base64 body pasted into a plain message, no header says base64
"""

import base64
import email.message
import email.policy
import io
import mailbox
import random
import sys
import tarfile
from email.mime.application import MIMEApplication
from email.mime.multipart import MIMEMultipart
from email.mime.text import MIMEText
from pathlib import Path

rng = random.Random(20240607)


def payload(size, head=b"\x01\x02\x03\x04"):
    return head + rng.randbytes(size - len(head))


def message(subject, text="See the attachment.\n"):
    m = email.message.EmailMessage()
    m["From"] = "Alice <alice@example.com>"
    m["To"] = "bob@example.com"
    m["Subject"] = subject
    m.set_content(text)
    return m


def attach(m, data, filename=None, maintype="application", subtype="octet-stream"):
    m.add_attachment(data, maintype=maintype, subtype=subtype, filename=filename)


def tar_gz():
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w:gz") as tar:
        info = tarfile.TarInfo("notes.txt")
        body = rng.randbytes(2000)
        info.size = len(body)
        tar.addfile(info, io.BytesIO(body))
    return raw.getvalue()


def quote(raw, prefix):
    out = []
    for line in raw.split(b"\n"):
        out.append(prefix if not line else prefix + (b"" if line.startswith(b">") else b" ") + line)
    return b"\n".join(out)


def build(scenario, jpeg, count):
    """Returns (messages as EmailMessage or raw LF bytes, attachments in order)."""
    atts = []
    msgs = []
    if scenario in ("named", "quoted"):
        report = b"%PDF-1.4\n" + rng.randbytes(2992)  # 3001 bytes: "==" padding
        m = message("Report")
        attach(m, report, "report.pdf", "application", "pdf")
        if scenario == "quoted":
            raw = m.as_bytes(policy=email.policy.default)
            for prefix in (b">", b">>"):
                outer = message("Fwd: Report")
                outer.set_content(b"Forwarded:\n\n" + quote(raw, prefix), "text", "plain",
                                  cte="7bit")
                msgs.append(outer)
                atts.append(report)
            return msgs, atts
        photo = Path(jpeg).read_bytes()
        m1 = message("Photo")
        attach(m1, photo, "photo.jpg", "image", "jpeg")
        msgs += [m1, m]
        atts += [photo, report]
        data = payload(5000)  # "=" padding
        archive = tar_gz()
        m3 = message("Two files")
        attach(m3, data, "data.bin")
        attach(m3, archive, "archive.tar.gz", "application", "gzip")
        msgs.append(m3)
        atts += [data, archive]
        cafe = payload(2999)
        # The older interface writes the name as given: an encoded word, as
        # many mail programs still send it.
        m4 = MIMEMultipart()
        m4["Subject"] = "Encoded word"
        m4.attach(MIMEText("See the attachment.\n"))
        part = MIMEApplication(cafe)
        part["Content-Disposition"] = 'attachment; filename="=?iso-8859-1?Q?caf=E9.txt?="'
        m4.attach(part)
        msgs.append(m4)
        atts.append(cafe)
    elif scenario == "unnamed":
        m = message("Three")
        for k in range(count):
            data = payload(1000 + k % 3)
            attach(m, data)
            atts.append(data)
        msgs.append(m)
    elif scenario == "run":
        data = payload(3002)
        body = (b"The file follows:\n\n" + base64.encodebytes(data) +
                b"\n-- \nAlice\n")
        m = message("Pasted", "")
        m.set_content(body, "text", "plain", cte="7bit")
        msgs.append(m)
        atts.append(data)
    else:
        sys.exit(f"unknown scenario {scenario}")
    return msgs, atts


def main():
    args = sys.argv[1:]
    out = Path(args[0])
    scenario = args[1]
    crlf = "--crlf" in args
    jpeg = args[args.index("--jpeg") + 1] if "--jpeg" in args else None
    count = int(args[args.index("--count") + 1]) if "--count" in args else 3
    msgs, atts = build(scenario, jpeg, count)
    box = out / "mail.mbox"
    box.unlink(missing_ok=True)  # the mailbox module would append
    if crlf:
        # The mailbox module writes LF lines; mail on the wire uses CR LF.
        with open(box, "wb") as f:
            for m in msgs:
                f.write(b"From alice@example.com Fri Jun  7 10:00:00 2024\r\n")
                f.write(m.as_bytes(policy=email.policy.SMTP))
                f.write(b"\r\n")
    else:
        mb = mailbox.mbox(box)
        for m in msgs:
            mb.add(m)
        mb.close()
    for k, data in enumerate(atts):
        (out / f"att-{k}.bin").write_bytes(data)


if __name__ == "__main__":
    main()
