#!/usr/bin/env python3
"""Draws the program's icons and writes them as .ico files.

main.ico (group 128) and tray.ico (group 131) each hold 48, 32 and 16 pixel
images at 4, 8 and 24 bits per pixel. The picture: a gate (two posts and a
lintel) on a rounded square, with an arrow passing through it.
state0.ico to state3.ico (groups 140 to 143) mark the rows of the mapping
list: a dot in grey (not active), green (live), red (failed) and yellow (held
by another host), 16 pixels at the same depths.
Run it from anywhere: python3 make_icons.py
"""
import os
import struct

SIZES = (48, 32, 16)
DEPTHS = (4, 8, 24)

# The 16 colours of the standard 4-bit palette.
VGA16 = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
         (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
         (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]
# 8-bit palette: a 6x6x6 colour cube, then greys.
CUBE = [(r * 51, g * 51, b * 51) for r in range(6) for g in range(6) for b in range(6)]
PALETTE256 = CUBE + [(i * 6, i * 6, i * 6) for i in range(40)]

WHITE = (255, 255, 255)
ORANGE = (255, 153, 0)


# The row states, in the order of the list's image indices.
STATE_COLOURS = [(160, 160, 160), (0, 176, 80), (224, 32, 32), (255, 192, 0)]


def gate(x, y, size, background):
    """Colour at (x, y) of a size x size picture (top row 0), or None for transparent."""
    u = (x + 0.5) / size
    v = (y + 0.5) / size
    r = 0.18
    cx = min(max(u, r), 1 - r)
    cy = min(max(v, r), 1 - r)
    if (u - cx) ** 2 + (v - cy) ** 2 > r * r:
        return None
    post = 0.22 <= v <= 0.82 and (0.22 <= u <= 0.34 or 0.66 <= u <= 0.78)
    lintel = 0.16 <= v <= 0.28 and 0.16 <= u <= 0.84
    shaft = 0.49 <= v <= 0.61 and 0.10 <= u <= 0.62
    head = 0.62 <= u <= 0.90 and abs(v - 0.55) <= (0.90 - u) * 0.75
    if shaft or head:
        return ORANGE
    if post or lintel:
        return WHITE
    return background


def dot(x, y, size, colour):
    """A dot with a darker rim, centred in the picture."""
    d = ((x + 0.5 - size / 2) ** 2 + (y + 0.5 - size / 2) ** 2) ** 0.5 / size
    if d > 0.34:
        return None
    if d > 0.26:
        return tuple(c * 2 // 3 for c in colour)
    return colour


def nearest(colour, palette):
    return min(range(len(palette)),
               key=lambda i: sum((a - b) ** 2 for a, b in zip(colour, palette[i])))


def row_bytes(bits, size):
    return ((bits * size + 31) // 32) * 4


def dib(size, bits, picture):
    """One icon image: BITMAPINFOHEADER, palette, colour rows, mask rows (bottom-up)."""
    palette = {4: VGA16, 8: PALETTE256}.get(bits, [])
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, bits, 0, 0, 0, 0,
                         len(palette), 0)
    pal = b''.join(struct.pack('<BBBB', b, g, r, 0) for r, g, b in palette)
    colour = b''
    mask = b''
    for y in reversed(range(size)):
        values = []
        mask_bits = []
        for x in range(size):
            c = picture(x, y, size)
            mask_bits.append(1 if c is None else 0)
            c = c or (0, 0, 0)
            values.append(nearest(c, palette) if palette else c)
        if bits == 24:
            row = b''.join(struct.pack('<BBB', b, g, r) for r, g, b in values)
        elif bits == 8:
            row = bytes(values)
        else:
            row = bytes((values[i] << 4) | (values[i + 1] if i + 1 < size else 0)
                        for i in range(0, size, 2))
        colour += row.ljust(row_bytes(bits, size), b'\0')
        mrow = bytes(sum(bit << (7 - j) for j, bit in enumerate(mask_bits[i:i + 8]))
                     for i in range(0, size, 8))
        mask += mrow.ljust(row_bytes(1, size), b'\0')
    return header + pal + colour + mask


def write_icon(path, picture, sizes=SIZES):
    images = [(size, bits, dib(size, bits, picture)) for size in sizes for bits in DEPTHS]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, bits, data in images:
        colours = 16 if bits == 4 else 0
        out += struct.pack('<BBBBHHII', size % 256, size % 256, colours, 0, 1, bits,
                           len(data), offset)
        offset += len(data)
    out += b''.join(data for _, _, data in images)
    with open(path, 'wb') as f:
        f.write(out)


if __name__ == '__main__':
    here = os.path.dirname(os.path.abspath(__file__))
    write_icon(os.path.join(here, 'main.ico'), lambda x, y, size: gate(x, y, size, (0, 102, 204)))
    write_icon(os.path.join(here, 'tray.ico'), lambda x, y, size: gate(x, y, size, (0, 153, 51)))
    for state, colour in enumerate(STATE_COLOURS):
        write_icon(os.path.join(here, 'state%d.ico' % state),
                   lambda x, y, size, colour=colour: dot(x, y, size, colour), sizes=(16,))
