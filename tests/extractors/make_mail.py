#!/usr/bin/env python3
"""Writes a mailbox made with Python's email package, and every attachment.

usage: make_mail.py OUT_DIR SCENARIO [--crlf] [--jpeg FILE] [--png FILE] [--count N]

OUT_DIR/mail.mbox gets the mailbox; OUT_DIR/att-<k>.bin the bytes of the
k-th attachment in the order they stand in the mailbox, and line k of
OUT_DIR/names.txt the file name its header gives (empty for none). With
--crlf every line of the mailbox ends in CR LF (the form mail takes on the
wire).

Scenarios:
  named     four messages: photo.jpg (the --jpeg file), report.pdf, then
            data.bin with archive.tar.gz, then a name as an encoded word
  unnamed   one message with --count attachments (default 3) without names
  quoted    the report.pdf message quoted once (">") and then twice (">>")
  run       a Base64 body pasted into a plain message, no header says base64

Layouts of today's mail programs (the email package writes the parts; where
it cannot, the headers are set in the order those programs use):
  disposition-first  Content-Disposition before Content-Transfer-Encoding
  small-first  a 150-byte attachment before a 5 KB one
  capitals     "Content-Transfer-Encoding: BASE64"
  forward      a message with two attachments quoted with "> ", blank
               lines quoted as "> "
  qp           a quoted-printable text body that reads like Base64 text,
               then an attachment
  names        names in RFC 2231 parameters (UTF-8, continued over
               sections, ISO-8859-1), as encoded words (B and Q), and only
               as Content-Type's name
  uuencode     two uuencoded files in plain bodies (binascii)
  yenc         a yEnc file, and one in two parts over two messages (yenc)
  zip          a zip archive holding the --png file (stored)
  hostile      names that try to leave the output folder
"""

import base64
import binascii
import email.charset
import email.header
import email.message
import email.policy
import io
import mailbox
import random
import sys
import tarfile
import zipfile
import zlib
from email.mime.application import MIMEApplication
from email.mime.base import MIMEBase
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


def raw_part(data, filename, maintype, subtype, cte="base64", disposition_first=True):
    """A part whose headers stand in the order given, its body Base64 by the
    email package's own encoder."""
    part = MIMEBase(maintype, subtype)
    del part["MIME-Version"]
    if disposition_first:
        part["Content-Disposition"] = f'attachment; filename="{filename}"'
        part["Content-Transfer-Encoding"] = cte
    else:
        part["Content-Transfer-Encoding"] = cte
        part["Content-Disposition"] = f'attachment; filename="{filename}"'
    part.set_payload(base64.encodebytes(data).decode())
    return part


def multipart(subject, parts, text="See the attachments.\n"):
    m = MIMEMultipart()
    m["From"] = "Alice <alice@example.com>"
    m["Subject"] = subject
    m.attach(MIMEText(text))
    for p in parts:
        m.attach(p)
    return m


def encoded_word(text, q=False):
    charset = email.charset.Charset("utf-8")
    charset.header_encoding = email.charset.QP if q else email.charset.BASE64
    return email.header.Header(text, charset).encode()


def plain(subject, body):
    m = message(subject, "")
    m.set_content(body, "text", "plain", cte="7bit")
    return m


def plain8bit(subject, body):
    """A plain message whose body holds 8-bit bytes as they are (yEnc)."""
    return (f"From: Alice <alice@example.com>\nSubject: {subject}\nMIME-Version: 1.0\n"
            "Content-Type: text/plain\nContent-Transfer-Encoding: 8bit\n\n").encode() + body


def uuencode(data, name):
    lines = [f"begin 644 {name}\n".encode()]
    for k in range(0, len(data), 45):
        lines.append(binascii.b2a_uu(data[k:k + 45]))
    lines.append(b"`\nend\n")
    return b"".join(lines)


def yencode(data, name, part=None):
    import io as _io
    import yenc
    out = _io.BytesIO()
    _, crc = yenc.encode(_io.BytesIO(data), out, len(data))
    body = out.getvalue().replace(b"\r\n", b"\n")
    if not body.endswith(b"\n"):
        body += b"\n"
    crc = int(crc, 16)
    if part is None:
        return (f"=ybegin line=128 size={len(data)} name={name}\n".encode() + body +
                f"=yend size={len(data)} crc32={crc:08x}\n".encode())
    k, total, begin, whole = part
    head = (f"=ybegin part={k} total={total} line=128 size={len(whole)} name={name}\n"
            f"=ypart begin={begin + 1} end={begin + len(data)}\n").encode()
    tail = f"=yend size={len(data)} part={k} pcrc32={crc:08x}"
    if k == total:
        tail += f" crc32={zlib.crc32(whole):08x}"
    return head + body + (tail + "\n").encode()


def build_modern(scenario, png):
    """Returns (messages, attachments, names) for the layouts of today's programs."""
    r = random.Random(scenario)

    def blob(size, head):
        return head + r.randbytes(size - len(head))

    if scenario == "disposition-first":
        a = blob(4000, b"\x89PNG\r\n\x1a\n")
        b = blob(3001, b"%PDF-1.4\n")
        m = multipart("Pictures", [raw_part(a, "holiday.png", "image", "png"),
                                   raw_part(b, "minutes.pdf", "application", "pdf")])
        return [m], [a, b], ["holiday.png", "minutes.pdf"]
    if scenario == "small-first":
        spacer = blob(150, b"GIF89a\x01\x00\x01\x00")
        big = blob(5000, b"%PDF-1.4\n")
        m = message("Newsletter")
        attach(m, spacer, "spacer.gif", "image", "gif")
        attach(m, big, "issue.pdf", "application", "pdf")
        return [m], [spacer, big], ["spacer.gif", "issue.pdf"]
    if scenario == "capitals":
        a = blob(2500, b"%PDF-1.4\n")
        m = multipart("Scan", [raw_part(a, "scan.pdf", "application", "pdf", cte="BASE64",
                                        disposition_first=False)])
        return [m], [a], ["scan.pdf"]
    if scenario == "forward":
        a = blob(3000, b"\x89PNG\r\n\x1a\n")
        b = blob(1200, b"%PDF-1.4\n")
        inner = multipart("Plans", [raw_part(a, "plan.png", "image", "png"),
                                    raw_part(b, "notes.pdf", "application", "pdf")])
        raw = inner.as_bytes(policy=email.policy.default)
        quoted = b"\n".join(b"> " + line for line in raw.split(b"\n"))
        return [plain("Fwd: Plans", b"Forwarded:\n\n" + quoted + b"\n")], [a, b], \
            ["plan.png", "notes.pdf"]
    if scenario == "qp":
        words = " ".join(r.choice(["alpha", "beta", "gamma", "delta", "Base64", "QUJD"])
                         for _ in range(400))
        m = message("Words")
        m.set_content(words, cte="quoted-printable")
        a = blob(2000, b"%PDF-1.4\n")
        attach(m, a, "words.pdf", "application", "pdf")
        return [m], [a], ["words.pdf"]
    if scenario == "names":
        items = [
            ("café.pdf", b"%PDF-1.4\n", "disposition"),
            ("Ein sehr langer Dateiname für den Bericht über das Jahr 2024, Teil eins.pdf",
             b"%PDF-1.4\n", "disposition"),
            ("résumé.doc", b"{\\rtf1", "latin1"),
            ("Übersicht 2024.xlsx", b"PK\x03\x04", "word-b"),
            ("naïve notes.txt", b"plain words\n", "word-q"),
            ("Präsentation.pptx", b"PK\x03\x04", "type-name"),
            ("photo.jpeg", b"\xff\xd8\xff\xe0", "disposition"),
            ("C:\\Users\\me\\plan.odt", b"PK\x03\x04", "disposition"),
        ]
        parts, atts, names = [], [], []
        for name, head, how in items:
            data = blob(1500, head)
            if how == "disposition":
                part = MIMEApplication(data)
                part.add_header("Content-Disposition", "attachment", filename=name)
            elif how == "latin1":
                part = MIMEApplication(data)
                part.add_header("Content-Disposition", "attachment",
                                filename=("iso-8859-1", "", name))
            elif how.startswith("word"):
                part = MIMEApplication(data)
                part["Content-Disposition"] = \
                    f'attachment; filename="{encoded_word(name, how == "word-q")}"'
            else:
                part = MIMEApplication(data)
                part.set_param("name", name)
            parts.append(part)
            atts.append(data)
            names.append(name.split("\\")[-1])  # a Windows path names its last component
        return [multipart("Names", parts)], atts, names
    if scenario == "uuencode":
        a = blob(3000, b"\x89PNG\r\n\x1a\n")
        b = blob(700, b"%PDF-1.4\n")
        return [plain("uu", b"Here it is:\n\n" + uuencode(a, "diagram.png") + b"\nBye\n"),
                plain("uu 2", uuencode(b, "short notes.pdf"))], [a, b], \
            ["diagram.png", "short notes.pdf"]
    if scenario == "yenc":
        a = blob(5000, b"\x89PNG\r\n\x1a\n")
        b = blob(9000, b"%PDF-1.4\n")
        half = 4000
        return [plain8bit("yEnc", b"Posted:\n" + yencode(a, "poster.png")),
                plain8bit("yEnc [1/2]", yencode(b[:half], "album.pdf", (1, 2, 0, b))),
                plain8bit("yEnc [2/2]", yencode(b[half:], "album.pdf", (2, 2, half, b)))], \
            [a, b], ["poster.png", "album.pdf"]
    if scenario == "zip":
        raw = io.BytesIO()
        with zipfile.ZipFile(raw, "w", zipfile.ZIP_DEFLATED) as z:
            # Stored, as zip programs keep files that do not compress.
            z.writestr("inside.png", Path(png).read_bytes(), zipfile.ZIP_STORED)
            z.writestr("readme.txt", "The picture.\n" * 20)
        data = raw.getvalue()
        m = message("Archive")
        attach(m, data, "photos.zip", "application", "zip")
        return [m], [data], ["photos.zip"]
    if scenario == "hostile":
        items = [blob(600, b"\x01\x02" + bytes([k])) for k in range(4)]
        mp = multipart("Hostile", [])
        part = MIMEApplication(items[0])
        part["Content-Disposition"] = "attachment; filename*=utf-8''..%2F..%2Fx"
        mp.attach(part)
        part = MIMEApplication(items[1])
        part["Content-Disposition"] = 'attachment; filename="=?utf-8?B?Li4vLi4veA==?="'
        mp.attach(part)
        part = MIMEApplication(items[2])
        part["Content-Disposition"] = 'attachment; filename="/abs/x"'
        mp.attach(part)
        return [mp, plain("uu", uuencode(items[3], "../../x"))], items, \
            ["../../x", "../../x", "/abs/x", "../../x"]
    return None


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
    png = args[args.index("--png") + 1] if "--png" in args else None
    count = int(args[args.index("--count") + 1]) if "--count" in args else 3
    modern = build_modern(scenario, png)
    if modern:
        msgs, atts, names = modern
    else:
        msgs, atts = build(scenario, jpeg, count)
        names = {
            "named": ["photo.jpg", "report.pdf", "data.bin", "archive.tar.gz", "caf\u00e9.txt"],
            "quoted": ["report.pdf", "report.pdf"],
        }.get(scenario, [""] * len(atts))
    box = out / "mail.mbox"
    box.unlink(missing_ok=True)  # the mailbox module would append
    if crlf:
        # The mailbox module writes LF lines; mail on the wire uses CR LF.
        with open(box, "wb") as f:
            for m in msgs:
                f.write(b"From alice@example.com Fri Jun  7 10:00:00 2024\r\n")
                f.write(m.replace(b"\n", b"\r\n") if isinstance(m, bytes)
                        else m.as_bytes(policy=email.policy.SMTP))
                f.write(b"\r\n")
    else:
        mb = mailbox.mbox(box)
        for m in msgs:
            mb.add(m)
        mb.close()
    for k, data in enumerate(atts):
        (out / f"att-{k}.bin").write_bytes(data)
    (out / "names.txt").write_text("".join(n + "\n" for n in names), encoding="utf-8")


if __name__ == "__main__":
    main()
