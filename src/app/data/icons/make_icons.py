#!/usr/bin/env python3
"""Writes the application icon: the scalable SVG and, drawn from the same
shapes by ImageMagick, the PNG sizes of the hicolor theme.

    python3 src/app/data/icons/make_icons.py   (from the repository root)

A page with lines whose top corner is folded, and two found items (a
picture and a sound) lifted out of it, on a rounded tile.
"""
import os
import subprocess
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
SIZES = [16, 24, 32, 48, 64, 128, 256]
SIDE = 256

# (kind, fill, geometry) in a 256 x 256 box.
SHAPES = [
    ("roundrect", "#1f6f8b", (16, 16, 240, 240, 44)),
    ("polygon", "#f4f1ea", [(60, 92), (146, 92), (188, 134), (188, 220), (60, 220)]),
    ("polygon", "#c9c3b6", [(146, 92), (146, 134), (188, 134)]),
    ("rect", "#8aa1ad", (80, 148, 168, 160)),
    ("rect", "#8aa1ad", (80, 172, 168, 184)),
    ("rect", "#8aa1ad", (80, 196, 136, 208)),
    # The picture: a frame with a hill and a sun.
    ("roundrect", "#f28c28", (74, 30, 138, 82, 8)),
    ("polygon", "#fde7c8", [(82, 74), (102, 50), (118, 66), (126, 58), (132, 74)]),
    ("circle", "#fde7c8", (90, 44, 6)),
    # The sound: a disc.
    ("circle", "#e84a5f", (184, 62, 26)),
    ("circle", "#1f6f8b", (184, 62, 7)),
]


def svg():
    parts = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{SIDE}" height="{SIDE}" '
             f'viewBox="0 0 {SIDE} {SIDE}">']
    for kind, fill, g in SHAPES:
        if kind == "roundrect":
            x0, y0, x1, y1, r = g
            parts.append(f'  <rect x="{x0}" y="{y0}" width="{x1 - x0}" height="{y1 - y0}" '
                         f'rx="{r}" fill="{fill}"/>')
        elif kind == "rect":
            x0, y0, x1, y1 = g
            parts.append(f'  <rect x="{x0}" y="{y0}" width="{x1 - x0}" height="{y1 - y0}" '
                         f'fill="{fill}"/>')
        elif kind == "polygon":
            points = " ".join(f"{x},{y}" for x, y in g)
            parts.append(f'  <polygon points="{points}" fill="{fill}"/>')
        elif kind == "circle":
            cx, cy, r = g
            parts.append(f'  <circle cx="{cx}" cy="{cy}" r="{r}" fill="{fill}"/>')
    parts.append("</svg>")
    return "\n".join(parts) + "\n"


def mvg(scale):
    side = SIDE * scale
    lines = [f"viewbox 0 0 {side} {side}", f"affine {scale} 0 0 {scale} 0 0"]
    for kind, fill, g in SHAPES:
        lines.append(f"fill '{fill}'")
        if kind == "roundrect":
            x0, y0, x1, y1, r = g
            lines.append(f"roundrectangle {x0},{y0} {x1},{y1} {r},{r}")
        elif kind == "rect":
            x0, y0, x1, y1 = g
            lines.append(f"rectangle {x0},{y0} {x1},{y1}")
        elif kind == "polygon":
            lines.append("polygon " + " ".join(f"{x},{y}" for x, y in g))
        elif kind == "circle":
            cx, cy, r = g
            lines.append(f"circle {cx},{cy} {cx + r},{cy}")
    return "\n".join(lines) + "\n"


def main():
    scalable = os.path.join(HERE, "hicolor", "scalable", "apps")
    os.makedirs(scalable, exist_ok=True)
    with open(os.path.join(scalable, "strellbox.svg"), "w") as f:
        f.write(svg())
    scale = 4  # drawn large, then shrunk: smooth edges at every size
    with tempfile.TemporaryDirectory() as work:
        drawing = os.path.join(work, "icon.mvg")
        big = os.path.join(work, "icon.png")
        with open(drawing, "w") as f:
            f.write(mvg(scale))
        subprocess.run(["convert", "-size", f"{SIDE * scale}x{SIDE * scale}", "-background",
                        "none", f"mvg:{drawing}", big], check=True)
        for size in SIZES:
            folder = os.path.join(HERE, "hicolor", f"{size}x{size}", "apps")
            os.makedirs(folder, exist_ok=True)
            subprocess.run(["convert", big, "-filter", "Lanczos", "-resize", f"{size}x{size}",
                            "-strip", "-depth", "8", "-define", "png:exclude-chunks=date,time",
                            os.path.join(folder, "strellbox.png")], check=True)


if __name__ == "__main__":
    main()
