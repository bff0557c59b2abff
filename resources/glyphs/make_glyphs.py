#!/usr/bin/env python3
"""Draws the transport button glyphs and the program icon as XPM files.

Each button glyph is a strip of four images side by side: up, disabled, pressed, held down.
Run from anywhere; the XPM files are written next to this script and compiled into the program
through the Qt resource file.
"""
import os

HERE = os.path.dirname(os.path.abspath(__file__))


def blank(w, h):
    return [[None] * w for _ in range(h)]


def put(img, x, y, c):
    if 0 <= y < len(img) and 0 <= x < len(img[0]):
        img[y][x] = c


def rect(img, x0, y0, x1, y1, c):
    for y in range(y0, y1 + 1):
        for x in range(x0, x1 + 1):
            put(img, x, y, c)


def triangle_right(img, x0, y0, h, c):
    # A filled triangle with its left edge at x0, rows y0 .. y0+h-1, pointing right.
    half = (h - 1) / 2.0
    for i in range(h):
        width = int(half - abs(i - half) + 1)
        for x in range(x0, x0 + width):
            put(img, x, y0 + i, c)


def triangle_left(img, x1, y0, h, c):
    half = (h - 1) / 2.0
    for i in range(h):
        width = int(half - abs(i - half) + 1)
        for x in range(x1 - width + 1, x1 + 1):
            put(img, x, y0 + i, c)


def disc(img, cx, cy, r, c):
    for y in range(len(img)):
        for x in range(len(img[0])):
            if (x - cx + 0.5) ** 2 + (y - cy + 0.5) ** 2 <= r * r:
                put(img, x, y, c)


# Shapes: 'G' the glyph body, 'E' its edge (drawn darker).
def play(w, h):
    img = blank(w, h)
    triangle_right(img, 7, 2, 12, 'G')
    return img


def pause(w, h):
    img = blank(w, h)
    rect(img, 6, 3, 8, 12, 'G')
    rect(img, 11, 3, 13, 12, 'G')
    return img


def rst(w, h):
    img = blank(w, h)
    rect(img, 5, 3, 6, 12, 'G')
    triangle_left(img, 14, 2, 12, 'G')
    return img


def rec(w, h):
    img = blank(w, h)
    disc(img, 10, 8, 5.2, 'G')
    return img


def repeat(w, h):
    img = blank(w, h)
    # A loop: the upper track runs right, the lower one runs left, joined at both ends.
    rect(img, 7, 3, 27, 4, 'G')
    triangle_right(img, 26, 1, 7, 'G')
    rect(img, 9, 11, 29, 12, 'G')
    triangle_left(img, 9, 9, 7, 'G')
    rect(img, 5, 3, 6, 9, 'G')
    rect(img, 29, 6, 30, 12, 'G')
    return img


def outline(img):
    """Marks transparent pixels next to the body as edge pixels."""
    h, w = len(img), len(img[0])
    out = [row[:] for row in img]
    for y in range(h):
        for x in range(w):
            if img[y][x] is None:
                for dx, dy in ((1, 0), (-1, 0), (0, 1), (0, -1)):
                    xx, yy = x + dx, y + dy
                    if 0 <= xx < w and 0 <= yy < h and img[yy][xx] == 'G':
                        out[y][x] = 'E'
                        break
    return out


def shifted(img, dx, dy):
    h, w = len(img), len(img[0])
    out = blank(w, h)
    for y in range(h):
        for x in range(w):
            if img[y][x] is not None:
                put(out, x + dx, y + dy, img[y][x])
    return out


def colour(img, body, edge):
    return [[None if p is None else (body if p == 'G' else edge) for p in row] for row in img]


def disabled(img):
    # The classic engraved look: a white copy one pixel down-right under a grey one.
    h, w = len(img), len(img[0])
    out = blank(w, h)
    for y in range(h):
        for x in range(w):
            if img[y][x] == 'G':
                put(out, x + 1, y + 1, '#FFFFFF')
    for y in range(h):
        for x in range(w):
            if img[y][x] == 'G':
                out[y][x] = '#8C8C8C'
    return out


def strip(shape, w, h, up_body, down_body):
    base = outline(shape(w, h))
    images = [
        colour(base, up_body, '#202020'),
        disabled(base),
        colour(shifted(base, 1, 1), up_body, '#202020'),
        colour(shifted(base, 1, 1), down_body, '#000000'),
    ]
    rows = []
    for y in range(h):
        row = []
        for img in images:
            row.extend(img[y])
        rows.append(row)
    return rows


def write_xpm(name, rows):
    colours = sorted({p for row in rows for p in row if p is not None})
    chars = '.#abcdefghijklmnopqrstuvwxyz'
    key = {None: ' '}
    for i, c in enumerate(colours):
        key[c] = chars[i + 1]
    h, w = len(rows), len(rows[0])
    ident = name.lower().replace('-', '_')
    lines = ['/* XPM */', 'static const char *%s[] = {' % ident,
             '"%d %d %d 1",' % (w, h, len(colours) + 1), '"  c None",']
    for c in colours:
        lines.append('"%s c %s",' % (key[c], c))
    for i, row in enumerate(rows):
        text = ''.join(key[p] for p in row)
        lines.append('"%s"%s' % (text, ',' if i + 1 < h else ''))
    lines.append('};')
    with open(os.path.join(HERE, name + '.xpm'), 'w') as f:
        f.write('\n'.join(lines) + '\n')


def icon():
    # 32 x 32: a rounded green tile with a sound wave and a cursor bar, the program's mark.
    w = h = 32
    img = blank(w, h)
    for y in range(h):
        for x in range(w):
            cx = min(max(x, 5), 26)
            cy = min(max(y, 5), 26)
            if (x - cx) ** 2 + (y - cy) ** 2 <= 25:
                img[y][x] = '#35704B' if y > 1 else '#4E9466'
    wave = [3, 6, 10, 7, 12, 5, 9, 13, 8, 4, 7, 11, 6, 3]
    for i, amp in enumerate(wave):
        x = 5 + i * 1.5
        xi = int(x)
        rect(img, xi, 16 - amp // 2, xi, 16 + amp // 2, '#F2F5E8')
    rect(img, 26, 7, 27, 25, '#FFB020')
    return img


if __name__ == '__main__':
    write_xpm('PLAY', strip(play, 20, 16, '#1E8C32', '#2EE050'))
    write_xpm('PAUSE', strip(pause, 20, 16, '#C08000', '#FFC020'))
    write_xpm('REPEAT', strip(repeat, 36, 16, '#2D5FB4', '#40A8FF'))
    write_xpm('RST', strip(rst, 20, 16, '#404040', '#2080E0'))
    write_xpm('REC', strip(rec, 20, 16, '#A01818', '#FF2020'))
    write_xpm('verbat', icon())
