#!/usr/bin/env python3
"""Draws the equalizer window's skin: the background "EqPanel.jpg" (413 x 152), the close box
"close1.jpg" / "close2.jpg" / "close3.jpg" (13 x 13: normal, hover, pressed) and the switch
glyphs "EQ_ON.xpm" / "EQ_OFF.xpm" (40 x 14, a strip of four states side by side: up, disabled,
pressed, held down, as the program's speed buttons take them).

The background is laid out for the window's controls, which are drawn over it by the program:
the master column at the left ("Vol", the volume slider, the switch and the reset button), a
strip for the band captions above the twelve visible gain sliders, a recessed well behind each
slider, and room at the right for the "+15db" / "-15db" labels.

Needs Python 3 with PIL (Debian: python3-pil) and the DejaVu fonts. Writes next to this script;
the outputs are committed, so the build does not run it.
"""
import os

from PIL import Image, ImageDraw, ImageFont

HERE = os.path.dirname(os.path.abspath(__file__))
FONT_DIR = "/usr/share/fonts/truetype/dejavu"

WIDTH, HEIGHT = 413, 152
# Left edges of the twelve gain sliders inside the panel (20 x 110 at top 32).
SLIDER_LEFTS = [57, 85, 112, 141, 169, 197, 224, 252, 280, 308, 336, 364]
SLIDER_TOP, SLIDER_W, SLIDER_H = 32, 20, 110
MASTER = (5, 31, 24, 74)       # the master slider
BUTTONS = [(8, 106, 43, 18), (8, 128, 43, 18)]  # switch and reset
CLOSE = (396, 7, 13, 13)


def font(size, bold=True):
    name = "DejaVuSans-Bold.ttf" if bold else "DejaVuSans.ttf"
    return ImageFont.truetype(os.path.join(FONT_DIR, name), size)


def lerp(c0, c1, t):
    return tuple(int(round(a + (b - a) * t)) for a, b in zip(c0, c1))


def vertical_gradient(draw, box, top, bottom):
    x0, y0, x1, y1 = box
    for y in range(y0, y1 + 1):
        t = (y - y0) / max(1, y1 - y0)
        draw.line([(x0, y), (x1, y)], fill=lerp(top, bottom, t))


def bevel(draw, box, light, dark):
    """A one-pixel frame: light top and left, dark bottom and right (raised); swap for sunken."""
    x0, y0, x1, y1 = box
    draw.line([(x0, y0), (x1, y0)], fill=light)
    draw.line([(x0, y0), (x0, y1)], fill=light)
    draw.line([(x0, y1), (x1, y1)], fill=dark)
    draw.line([(x1, y0), (x1, y1)], fill=dark)


def panel():
    img = Image.new("RGB", (WIDTH, HEIGHT))
    d = ImageDraw.Draw(img)
    # Body: dark slate, a little lighter at the top.
    vertical_gradient(d, (0, 0, WIDTH - 1, HEIGHT - 1), (0x2C, 0x32, 0x3B), (0x15, 0x18, 0x1D))
    # Fine horizontal brushing, too faint to compete with the controls.
    px = img.load()
    for y in range(0, HEIGHT, 3):
        for x in range(WIDTH):
            r, g, b = px[x, y]
            px[x, y] = (min(255, r + 3), min(255, g + 3), min(255, b + 4))

    # Title bar along the top, with the window's name; the close box sits at its right end.
    vertical_gradient(d, (1, 1, WIDTH - 2, 14), (0x3A, 0x42, 0x4E), (0x25, 0x2A, 0x32))
    d.line([(1, 15), (WIDTH - 2, 15)], fill=(0x0C, 0x0E, 0x11))
    d.text((57, 2), "EQUALIZER", font=font(9), fill=(0xA9, 0xB6, 0xC6))
    d.text((126, 3), "15 BAND", font=font(7, bold=False), fill=(0x70, 0x7C, 0x8A))
    # A seat for the close box, one pixel larger than it.
    cx, cy, cw, ch = CLOSE
    bevel(d, (cx - 1, cy - 1, cx + cw, cy + ch), (0x0C, 0x0E, 0x11), (0x4E, 0x57, 0x64))

    # Master column: a sunken panel behind "Vol", its slider and labels, and the two buttons.
    d.rectangle((3, 17, 53, 148), fill=(0x1A, 0x1E, 0x24))
    bevel(d, (3, 17, 53, 148), (0x0A, 0x0C, 0x0F), (0x3E, 0x46, 0x51))
    mx, my, mw, mh = MASTER
    d.rounded_rectangle((mx + 2, my, mx + mw - 3, my + mh - 1), radius=3, fill=(0x10, 0x13, 0x17))
    for bx, by, bw, bh in BUTTONS:
        bevel(d, (bx - 1, by - 1, bx + bw, by + bh), (0x0A, 0x0C, 0x0F), (0x48, 0x51, 0x5D))

    # Band section: the caption strip and a well behind each slider.
    d.rectangle((55, 17, 409, 148), fill=(0x1C, 0x20, 0x26))
    bevel(d, (55, 17, 409, 148), (0x0A, 0x0C, 0x0F), (0x3E, 0x46, 0x51))
    vertical_gradient(d, (56, 18, 408, 30), (0x30, 0x29, 0x1C), (0x24, 0x1F, 0x16))
    d.line([(56, 31), (408, 31)], fill=(0x0A, 0x0C, 0x0F))
    for left in SLIDER_LEFTS:
        d.rounded_rectangle((left - 1, SLIDER_TOP + 1, left + SLIDER_W, SLIDER_TOP + SLIDER_H - 1),
                            radius=4, fill=(0x11, 0x14, 0x18))
        # Each caption sits in a small plate of its own within the strip.
        d.line([(left - 3, 19), (left - 3, 29)], fill=(0x3C, 0x33, 0x24))
    # The scale at the right: the top is the boost, the bottom the cut.
    d.line([(387, 46), (407, 46)], fill=(0x5A, 0x63, 0x70))
    d.line([(387, 128), (407, 128)], fill=(0x5A, 0x63, 0x70))
    # Outer frame.
    bevel(d, (0, 0, WIDTH - 1, HEIGHT - 1), (0x5A, 0x64, 0x72), (0x05, 0x06, 0x08))
    return img


def close_box(state):
    """state 0 normal, 1 hover, 2 pressed."""
    size = CLOSE[2]
    img = Image.new("RGB", (size, size))
    d = ImageDraw.Draw(img)
    faces = [((0x5A, 0x30, 0x30), (0x3A, 0x1C, 0x1C)),
             ((0xD8, 0x48, 0x3C), (0x9A, 0x24, 0x1E)),
             ((0x7A, 0x1A, 0x16), (0x5C, 0x12, 0x10))]
    top, bottom = faces[state]
    vertical_gradient(d, (0, 0, size - 1, size - 1), top, bottom)
    if state == 2:
        bevel(d, (0, 0, size - 1, size - 1), (0x20, 0x08, 0x08), (0xB0, 0x50, 0x48))
    else:
        bevel(d, (0, 0, size - 1, size - 1), lerp(top, (255, 255, 255), 0.35), (0x14, 0x08, 0x08))
    cross = [(0xC8, 0xB4, 0xB4), (0xFF, 0xFF, 0xFF), (0xF0, 0xD8, 0xD8)][state]
    shift = 1 if state == 2 else 0
    a, b = 3 + shift, size - 4 + shift
    d.line([(a, a), (b, b)], fill=cross, width=2)
    d.line([(a, b), (b, a)], fill=cross, width=2)
    return img


def switch_face(on, look):
    """One 40 x 14 image of the switch; look is 'up', 'disabled', 'pressed' or 'down'."""
    w, h = 40, 14
    img = Image.new("RGB", (w, h), (0x0E, 0x11, 0x14))
    d = ImageDraw.Draw(img)
    shift = 1 if look == "pressed" else 0
    d.rectangle((0, 0, w - 1, h - 1), outline=(0x05, 0x06, 0x08), fill=(0x12, 0x16, 0x1A))
    if on:
        led, text_colour, glow = (0x4C, 0xF0, 0x6C), (0x6C, 0xFF, 0x88), (0x1C, 0x4A, 0x26)
        label = "ON"
    else:
        led, text_colour, glow = (0x6A, 0x2A, 0x26), (0xB8, 0xC0, 0xCA), None
        label = "OFF"
    if look == "disabled":
        led, text_colour, glow = (0x40, 0x44, 0x48), (0x5C, 0x62, 0x68), None
    # The lamp at the left, lit in green when on.
    if glow:
        d.ellipse((1 + shift, 1 + shift, 13 + shift, 12 + shift), fill=glow)
    d.ellipse((4 + shift, 4 + shift, 10 + shift, 10 + shift), fill=led,
              outline=(0x04, 0x05, 0x06))
    f = font(10)
    box = d.textbbox((0, 0), label, font=f)
    tw, th = box[2] - box[0], box[3] - box[1]
    x = 14 + (w - 14 - tw) // 2 - box[0] + shift
    y = (h - th) // 2 - box[1] + shift
    d.text((x, y), label, font=f, fill=text_colour)
    return img


def switch_strip(on):
    faces = [switch_face(on, look) for look in ("up", "disabled", "pressed", "down")]
    strip = Image.new("RGB", (40 * 4, 14))
    for i, face in enumerate(faces):
        strip.paste(face, (40 * i, 0))
    return strip


def write_xpm(img, path, name):
    """Writes an XPM with a palette of at most 64 colours (two characters a pixel)."""
    quantised = img.quantize(colors=64, method=Image.Quantize.MEDIANCUT)
    palette = quantised.getpalette()
    used = sorted(set(quantised.getdata()))
    chars = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+-"
    code = {index: chars[i // len(chars)] + chars[i % len(chars)] if len(used) > len(chars)
            else chars[i] for i, index in enumerate(used)}
    cpp = len(next(iter(code.values())))
    w, h = quantised.size
    lines = ['/* XPM */', 'static const char *%s[] = {' % name,
             '"%d %d %d %d",' % (w, h, len(used), cpp)]
    for index in used:
        r, g, b = palette[3 * index:3 * index + 3]
        lines.append('"%s c #%02X%02X%02X",' % (code[index], r, g, b))
    pixels = list(quantised.getdata())
    for y in range(h):
        row = "".join(code[pixels[y * w + x]] for x in range(w))
        lines.append('"%s"%s' % (row, "," if y < h - 1 else ""))
    lines.append("};")
    with open(path, "w") as out:
        out.write("\n".join(lines) + "\n")


def main():
    # No chroma subsampling: the thin lines and the title keep their colour edges.
    jpeg = dict(quality=92, subsampling=0, optimize=True)
    panel().save(os.path.join(HERE, "EqPanel.jpg"), **jpeg)
    for state in range(3):
        close_box(state).save(os.path.join(HERE, "close%d.jpg" % (state + 1)), **jpeg)
    write_xpm(switch_strip(True), os.path.join(HERE, "EQ_ON.xpm"), "eq_on")
    write_xpm(switch_strip(False), os.path.join(HERE, "EQ_OFF.xpm"), "eq_off")


if __name__ == "__main__":
    main()
