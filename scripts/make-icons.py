#!/usr/bin/python3
"""Draws Tarnwick's icons and animations and writes them into resources/.

The program icon is a page with a magnifying glass over one highlighted (changed) line. The
drawings are SVG written here; rsvg-convert (librsvg2-bin) renders them and PIL (python3-pil)
assembles the animated GIFs. The generated files are committed, so a build needs neither.
"""

import io
import os
import shutil
import subprocess
import sys

from PIL import Image

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "resources")
ICON_SIZES = (16, 32, 48, 64, 128, 256)

INK = "#3d4b5c"
PAGE = "#fbfcfe"
FOLD = "#d3dbe6"
LINE = "#b4c0ce"
CHANGED = "#f59f00"
GLASS_RING = "#1c5fa8"
GLASS_HANDLE = "#173f6e"
LENS = "#d8ebff"


def svg(width, height, body, view=None):
    view = view or f"0 0 {width} {height}"
    return (f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
            f'viewBox="{view}">\n{body}</svg>\n')


def page(x, y, w, h, stroke, fold):
    """A sheet with its top-right corner folded down."""
    return (f'<path d="M{x + 8},{y} H{x + w - fold} L{x + w},{y + fold} V{y + h - 8} '
            f'Q{x + w},{y + h} {x + w - 8},{y + h} H{x + 8} Q{x},{y + h} {x},{y + h - 8} '
            f'V{y + 8} Q{x},{y} {x + 8},{y} Z" fill="{PAGE}" stroke="{INK}" '
            f'stroke-width="{stroke}" stroke-linejoin="round"/>\n'
            f'<path d="M{x + w - fold},{y} V{y + fold} H{x + w} Z" fill="{FOLD}" '
            f'stroke="{INK}" stroke-width="{stroke}" stroke-linejoin="round"/>\n')


def bar(x, y, w, h, color):
    return f'<rect x="{x}" y="{y}" width="{w}" height="{h}" rx="{h / 2}" fill="{color}"/>\n'


def magnifier(cx, cy, r, ring, handle, inner=""):
    dx = r * 0.72
    return (f'<line x1="{cx + dx}" y1="{cy + dx}" x2="{cx + dx + r * 0.78}" '
            f'y2="{cy + dx + r * 0.78}" stroke="{GLASS_HANDLE}" stroke-width="{handle}" '
            f'stroke-linecap="round"/>\n'
            f'<circle cx="{cx}" cy="{cy}" r="{r}" fill="{LENS}"/>\n'
            f'{inner}'
            f'<circle cx="{cx}" cy="{cy}" r="{r}" fill="none" stroke="{GLASS_RING}" '
            f'stroke-width="{ring}"/>\n')


def program_icon(small):
    """The 256-unit drawing; `small` thickens lines and drops detail for 16 and 32 pixels."""
    if small:
        body = page(22, 14, 150, 212, 18, 44)
        body += bar(50, 70, 86, 26, LINE)
        body += bar(50, 122, 96, 26, CHANGED)
        body += bar(50, 174, 60, 26, LINE)
        body += magnifier(158, 150, 50, 26, 40)
        return svg(256, 256, body)
    body = page(36, 18, 144, 212, 7, 38)
    for y, w in ((62, 96), (88, 84), (140, 70), (166, 90), (192, 58)):
        body += bar(60, y, w, 12, LINE)
    body += bar(60, 114, 104, 12, CHANGED)
    inner = ('<clipPath id="lens"><circle cx="160" cy="146" r="50"/></clipPath>\n'
             '<g clip-path="url(#lens)">'
             + bar(100, 100, 130, 24, CHANGED) + bar(100, 152, 110, 24, LINE) +
             '<path d="M126,118 A40,40 0 0 1 170,102" fill="none" stroke="#ffffff" '
             'stroke-width="8" stroke-linecap="round" stroke-opacity="0.9"/></g>\n')
    body += magnifier(160, 146, 50, 14, 26, inner)
    return svg(256, 256, body)


def state_icon(kind):
    """16x16 icons of the result list: updated, unchanged, error."""
    if kind == "updated":
        fill, edge = "#f08c00", "#a95f00"
        mark = ('<rect x="7" y="3.5" width="2" height="6" rx="1" fill="#fff"/>'
                '<rect x="7" y="10.6" width="2" height="2" rx="1" fill="#fff"/>')
    elif kind == "unchanged":
        fill, edge = "#8797ab", "#5a6a7e"
        mark = ('<rect x="4.5" y="5.5" width="7" height="1.8" rx="0.9" fill="#fff"/>'
                '<rect x="4.5" y="8.7" width="7" height="1.8" rx="0.9" fill="#fff"/>')
    else:
        fill, edge = "#d93025", "#9c1f17"
        mark = ('<path d="M5.5,5.5 L10.5,10.5 M10.5,5.5 L5.5,10.5" stroke="#fff" '
                'stroke-width="2" stroke-linecap="round"/>')
    body = (f'<circle cx="8" cy="8" r="7" fill="{fill}" stroke="{edge}" stroke-width="1"/>'
            f'{mark}\n')
    return svg(16, 16, body)


def link_icon(kind):
    """16x16 icons of the link update dialog: the link's file is there, or it is missing."""
    sheet = "M3.5,1.5 H9.5 L12.5,4.5 V14.5 H3.5 Z"
    corner = "M9.5,1.5 V4.5 H12.5"
    if kind == "file":
        # A written page: solid, filled, with lines of text.
        body = (f'<path d="{sheet}" fill="#ffffff" stroke="{INK}" stroke-width="1" '
                f'stroke-linejoin="round"/>'
                f'<path d="{corner}" fill="{FOLD}" stroke="{INK}" stroke-width="1" '
                f'stroke-linejoin="round"/>')
        for y, w in ((6, 6), (8, 6), (10, 6), (12, 4)):
            body += f'<rect x="5" y="{y}" width="{w}" height="1" fill="{GLASS_RING}"/>'
    else:
        # Only the place of a page: a dashed outline, empty, crossed out.
        body = (f'<path d="{sheet}" fill="none" stroke="#6f7c8e" stroke-width="1" '
                f'stroke-dasharray="2,1" stroke-linejoin="round"/>'
                f'<path d="{corner}" fill="none" stroke="#6f7c8e" stroke-width="1" '
                f'stroke-dasharray="2,1"/>'
                '<path d="M6,7 L10,11 M10,7 L6,11" stroke="#d93025" stroke-width="1.5" '
                'stroke-linecap="round"/>')
    return svg(16, 16, body + "\n")


def render(svg_text, width, height):
    png = subprocess.run(["rsvg-convert", "-w", str(width), "-h", str(height)],
                         input=svg_text.encode(), capture_output=True, check=True).stdout
    return Image.open(io.BytesIO(png)).convert("RGBA")


def searching_frames():
    """A magnifier sweeping along the lines of a page."""
    import math
    frames = []
    count = 16
    for i in range(count):
        t = 2 * math.pi * i / count
        cx = 40 + 14 * math.cos(t)
        cy = 24 + 7 * math.sin(2 * t)
        body = page(18, 5, 40, 38, 2, 10)
        for y, w in ((13, 26), (19, 22), (25, 28), (31, 18)):
            body += bar(24, y, w, 3, LINE)
        body += magnifier(cx, cy, 8, 3, 5)
        frames.append(svg(80, 48, body))
    return frames


def downloading_frames():
    """An arrow dropping into a tray, the tray filling as it lands."""
    frames = []
    count = 12
    for i in range(count):
        y = -14 + i * 3.2
        opacity = 1.0 if i < count - 2 else 0.4
        body = (f'<g opacity="{opacity}"><rect x="36" y="{y}" width="8" height="14" fill="{GLASS_RING}"/>'
                f'<path d="M28,{y + 13} H52 L40,{y + 25} Z" fill="{GLASS_RING}"/></g>\n')
        body += ('<path d="M16,30 V42 Q16,45 19,45 H61 Q64,45 64,42 V30" fill="none" '
                 f'stroke="{INK}" stroke-width="3" stroke-linejoin="round" stroke-linecap="round"/>\n')
        level = min(i, count - 1) / (count - 1)
        body += (f'<rect x="20" y="{41 - 5 * level}" width="40" height="{1 + 5 * level}" '
                 f'rx="1" fill="{CHANGED}"/>\n')
        frames.append(svg(80, 48, f'<clipPath id="c"><rect width="80" height="48"/></clipPath>'
                          f'<g clip-path="url(#c)">{body}</g>'))
    return frames


def write_gif(frames, path, duration):
    """GIF keeps one transparent colour: soft edges are blended over the usual dialog grey."""
    key = (255, 0, 255)
    backdrop = (239, 239, 239)
    flat = []
    for frame in frames:
        image = render(frame, 80, 48)
        solid = Image.new("RGB", image.size, backdrop)
        solid.paste(image, mask=image.split()[3])
        mask = image.split()[3].point(lambda a: 255 if a >= 96 else 0)
        keyed = Image.new("RGB", image.size, key)
        keyed.paste(solid, mask=mask)
        flat.append(keyed)
    strip = Image.new("RGB", (80 * len(flat), 48))
    for i, frame in enumerate(flat):
        strip.paste(frame, (80 * i, 0))
    palette = strip.quantize(colors=64, dither=Image.Dither.NONE)
    colours = palette.getpalette()[:64 * 3]
    index = min(range(64), key=lambda n: sum((colours[3 * n + c] - key[c]) ** 2 for c in range(3)))
    indexed = [f.quantize(palette=palette, dither=Image.Dither.NONE) for f in flat]
    indexed[0].save(path, save_all=True, append_images=indexed[1:], duration=duration, loop=0,
                    transparency=index, disposal=2, optimize=False)


def main():
    icons = os.path.join(ROOT, "icons")
    anim = os.path.join(ROOT, "anim")
    os.makedirs(icons, exist_ok=True)
    os.makedirs(anim, exist_ok=True)
    with open(os.path.join(icons, "tarnwick.svg"), "w") as out:
        out.write(program_icon(small=False))
    for size in ICON_SIZES:
        render(program_icon(small=size <= 32), size, size).save(
            os.path.join(icons, f"tarnwick-{size}.png"), optimize=True)
    for kind in ("updated", "unchanged", "error"):
        render(state_icon(kind), 16, 16).save(os.path.join(icons, f"state-{kind}.png"),
                                              optimize=True)
    for kind in ("file", "missing"):
        render(link_icon(kind), 16, 16).save(os.path.join(icons, f"link-{kind}.png"),
                                             optimize=True)
    # The help page shows the icons it explains; it is opened as a plain file.
    help_images = os.path.join(ROOT, "help", "images")
    os.makedirs(help_images, exist_ok=True)
    for name in ("tarnwick-48.png", "state-updated.png", "state-unchanged.png", "state-error.png"):
        shutil.copyfile(os.path.join(icons, name), os.path.join(help_images, name))
    write_gif(searching_frames(), os.path.join(anim, "searching.gif"), 70)
    write_gif(downloading_frames(), os.path.join(anim, "downloading.gif"), 90)
    return 0


if __name__ == "__main__":
    sys.exit(main())
