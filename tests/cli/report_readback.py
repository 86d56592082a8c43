#!/usr/bin/env python3
"""The DFXML report of a job, read back with Python's XML parser, gives the
same rows as the job's --json: every item (written, repeated or filtered),
its chain and how its end was known, on a folder with items in files, in
zlib streams, in mail attachments and in PDF documents, with a copy of one
file so that its items repeat. The report must be well-formed for xmllint
too.

Usage: report_readback.py STRELLBOX_CLI SAMPLES_DIR
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

DFXML = "{http://www.forensicswiki.org/wiki/Category:Digital_Forensics_XML}"
SB = "{urn:strellbox:dfxml}"
ROW_KEYS = ["path", "name", "type", "size", "source", "container", "offset", "chain", "pass",
            "end", "sha256", "md5", "duplicate_of", "filtered"]


def text(parent, tag):
    element = parent.find(tag)
    return None if element is None else (element.text or "")


def rows_of_report(path):
    """The JSON rows a report stands for, and its run figures."""
    root = ET.parse(path).getroot()
    assert root.tag == DFXML + "dfxml", root.tag
    rows = []
    for obj in root.findall(DFXML + "fileobject"):
        filename = text(obj, DFXML + "filename")
        digests = {d.get("type"): d.text for d in obj.findall(DFXML + "hashdigest")}
        chain = [{"decoder": s.get("decoder"), "offset": int(s.get("offset"))}
                 for s in obj.find(SB + "chain").findall(SB + "step")]
        row = {
            # Written items are named by their absolute path; others by name.
            "path": filename if filename.startswith("/") else None,
            "name": os.path.basename(filename),
            "type": text(obj, SB + "type"),
            "size": int(text(obj, DFXML + "filesize")),
            "source": text(obj, SB + "source"),
            "container": text(obj, SB + "container"),
            "offset": int(text(obj, SB + "offset")),
            "chain": chain,
            "pass": text(obj, SB + "pass"),
            "end": text(obj, SB + "end"),
            "sha256": digests.get("sha256"),
            "md5": digests.get("md5"),
            "duplicate_of": text(obj, SB + "duplicate_of"),
            "filtered": text(obj, SB + "filtered"),
        }
        # Where the bytes lie: the item itself in one piece, or the start of
        # the outermost encoded data.
        runs = obj.find(DFXML + "byte_runs")
        if row["container"] is not None:
            run = runs.find(DFXML + "byte_run")
            if chain:
                assert int(run.get("img_offset")) == chain[0]["offset"], filename
                assert run.get("len") is None, filename
            else:
                assert int(run.get("img_offset")) == row["offset"], filename
                assert int(run.get("len")) == row["size"], filename
        rows.append(row)
    run = root.find(SB + "run")
    counts = run.find(SB + "counts").attrib
    sources = [text(s, DFXML + "image_filename") for s in root.findall(DFXML + "source")]
    return rows, counts, sources


def json_rows(output):
    lines = [json.loads(line) for line in output.splitlines() if line.strip()]
    summary = lines.pop()
    assert summary.get("summary") is True, summary
    return [{key: row.get(key) for key in ROW_KEYS} for row in lines], summary


def check(cli, args, folder):
    report = os.path.join(folder, "report-%d.xml" % len(os.listdir(folder)))
    run = subprocess.run([cli, "scan", "--json", "--md5", "--report", report] + args,
                         capture_output=True, text=True, check=False)
    assert run.returncode == 0, run.stderr
    subprocess.run(["xmllint", "--noout", report], check=True)
    expected, summary = json_rows(run.stdout)
    rows, counts, sources = rows_of_report(report)
    assert len(rows) == len(expected), (len(rows), len(expected))
    for got, want in zip(rows, expected):
        assert got == want, "\nreport: %s\njson:   %s" % (got, want)
    listed = summary.get("listed", summary["written"])
    assert int(counts["written"]) == listed, (counts, summary)
    assert int(counts["repeats"]) == summary["duplicates_dropped"], (counts, summary)
    assert int(counts["filtered"]) == summary["filtered"], (counts, summary)
    assert int(counts["found"]) == summary["found"], (counts, summary)
    assert len(sources) == summary["files_scanned"], (sources, summary)
    # The copy in the output folder is the same report.
    if summary["report"] is not None:
        with open(summary["report"], "rb") as a, open(report, "rb") as b:
            assert a.read() == b.read(), summary["report"]
    return expected, summary


def main():
    cli, samples = sys.argv[1], sys.argv[2]
    with tempfile.TemporaryDirectory(prefix="strellbox-report-") as work:
        source = os.path.join(work, "in")
        os.mkdir(source)
        # Items in files, in zlib streams, in attachments and in PDFs; a copy
        # of the zlib sample repeats its items, those inside its stream too.
        for name in ["embedded-media.dat", "zlib-png.bin", "mail-with-attachment.mbox",
                     "two-images.pdf", "two-zips.bin", "compressed-movie.swf"]:
            shutil.copy(os.path.join(samples, name), source)
        shutil.copy(os.path.join(samples, "zlib-png.bin"), os.path.join(source, "z-copy.bin"))
        reports = os.path.join(work, "reports")
        os.mkdir(reports)

        rows, summary = check(cli, ["--output", os.path.join(work, "out"), source], reports)
        assert summary["report"] == os.path.join(summary["output"], "report.xml"), summary
        assert summary["duplicates_dropped"] >= 2, summary
        chains = {step["decoder"] for row in rows for step in row["chain"]}
        assert {"zlib", "base64", "pdf"} <= chains, chains
        ends = {row["end"] for row in rows}
        assert {"walk", "length", "marker", "decoded"} <= ends, ends
        for row in rows:
            if row["duplicate_of"] is not None:
                assert row["path"] is None and os.path.exists(row["duplicate_of"]), row

        # A listing job with a filter: the filtered items are rows too.
        rows, summary = check(cli, ["--list", "--enable", "flate", "--min-size", "1000",
                                    "--output", os.path.join(work, "listed"), source], reports)
        assert summary["filtered"] > 0, summary
        assert summary["report"] is None and summary["output"] is None, summary
        filtered = [row for row in rows if row["filtered"] is not None]
        assert len(filtered) == summary["filtered"], (filtered, summary)
        assert all(row["filtered"] == "min-size" and row["size"] < 1000 for row in filtered)
    print("report reads back into the JSON rows")


if __name__ == "__main__":
    main()
