#!/usr/bin/env python3
"""Draws the plug-in's icons: the two tray icons, and the device icon that control points show.

Each tray icon file holds a 32x32 and a 16x16 image in 16 colours (4 bits per pixel, standard
palette): resource 104 is shown while the server is on, 105 while it is off. The device icon is
the "on" picture at 48x48 and 120x120, each as PNG (transparent outside the disc) and as
baseline JPEG (on white), written as byte tables of a C++ source that the server embeds.

usage: make_icons.py OUTPUT_DIR
       writes OUTPUT_DIR/kb_on.ico, OUTPUT_DIR/kb_off.ico and OUTPUT_DIR/kb_icons.rc
       make_icons.py --device-icons OUTPUT.cpp
       writes the device icons' byte tables
"""
import os
import struct
import sys
import zlib

from jpeg_encoder import jpeg_file

# The 16-colour VGA palette as (blue, green, red) triples.
PALETTE = [
    (0, 0, 0), (0, 0, 128), (0, 128, 0), (0, 128, 128), (128, 0, 0), (128, 0, 128),
    (128, 128, 0), (192, 192, 192), (128, 128, 128), (0, 0, 255), (0, 255, 0), (0, 255, 255),
    (255, 0, 0), (255, 0, 255), (255, 255, 0), (255, 255, 255),
]
BLACK, DARK_GREEN, GREY, LIGHT_GREY, RED, GREEN, WHITE = 0, 2, 8, 7, 9, 10, 15
CLEAR = None


def disc(size, fill, rim):
    """A filled disc with a one-pixel rim; pixels outside are transparent."""
    centre = (size - 1) / 2.0
    radius = size / 2.0 - 0.5
    grid = []
    for y in range(size):
        row = []
        for x in range(size):
            d = ((x - centre) ** 2 + (y - centre) ** 2) ** 0.5
            row.append(CLEAR if d > radius else rim if d > radius - 1.2 else fill)
        grid.append(row)
    return grid


def draw_waves(grid, colour):
    """A small speaker dot with two arcs to its right: 'sharing on the network'."""
    size = len(grid)
    cx, cy = size * 0.32, (size - 1) / 2.0
    for y in range(size):
        for x in range(size):
            if grid[y][x] is CLEAR:
                continue
            d = ((x - cx) ** 2 + (y - cy) ** 2) ** 0.5
            ahead = x >= cx and abs(y - cy) <= (x - cx) * 1.1 + 0.5
            near = d <= size * 0.09
            arc1 = ahead and abs(d - size * 0.25) <= size * 0.045
            arc2 = ahead and abs(d - size * 0.40) <= size * 0.045
            if near or arc1 or arc2:
                grid[y][x] = colour


def draw_bar(grid, colour):
    """A diagonal bar from top left to bottom right: 'switched off'."""
    size = len(grid)
    for y in range(size):
        for x in range(size):
            if grid[y][x] is not CLEAR and abs(x - y) <= max(1, size // 12):
                grid[y][x] = colour


def icon_image(grid):
    """One icon image: BITMAPINFOHEADER, palette, 4-bit colour rows, 1-bit mask rows."""
    size = len(grid)
    colour_row = ((size * 4 + 31) // 32) * 4
    mask_row = ((size + 31) // 32) * 4
    colours, mask = b"", b""
    for row in reversed(grid):  # bitmaps store the bottom row first
        nibbles = [0 if p is CLEAR else p for p in row]
        packed = bytes((nibbles[i] << 4) | nibbles[i + 1] for i in range(0, size, 2))
        colours += packed.ljust(colour_row, b"\0")
        bits = 0
        for x, p in enumerate(row):
            if p is CLEAR:
                bits |= 1 << (mask_row * 8 - 1 - x)
        mask += bits.to_bytes(mask_row, "big")
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0,
                         len(colours) + len(mask), 0, 0, 16, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for (b, g, r) in PALETTE)
    return header + palette + colours + mask


def icon_file(grids):
    images = [icon_image(g) for g in grids]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for grid, image in zip(grids, images):
        size = len(grid)
        out += struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(image), offset)
        offset += len(image)
    return out + b"".join(images)


def enabled(size):
    grid = disc(size, GREEN, DARK_GREEN)
    draw_waves(grid, WHITE)
    return grid


def disabled(size):
    grid = disc(size, LIGHT_GREY, GREY)
    draw_waves(grid, GREY)
    draw_bar(grid, RED)
    return grid


def rgba_rows(grid, background=None):
    """Rows of (r, g, b, a); clear pixels are transparent, or `background` when given."""
    rows = []
    for row in grid:
        out = []
        for p in row:
            if p is CLEAR:
                out.append(background + (255,) if background else (0, 0, 0, 0))
            else:
                b, g, r = PALETTE[p]
                out.append((r, g, b, 255))
        rows.append(out)
    return rows


def png_file(rows):
    """A PNG of 8-bit RGBA pixels, every row with filter 0."""
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))
    height, width = len(rows), len(rows[0])
    raw = b"".join(b"\0" + bytes(c for px in row for c in px) for row in rows)
    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


DEVICE_ICON_SIZES = (48, 120)


def device_icons():
    """(URL path, MIME type, side, bytes) of each device icon, PNGs first."""
    icons = []
    for size in DEVICE_ICON_SIZES:
        icons.append(("/icons/kestrelbloom-%d.png" % size, "image/png", size,
                      png_file(rgba_rows(enabled(size)))))
    for size in DEVICE_ICON_SIZES:
        icons.append(("/icons/kestrelbloom-%d.jpg" % size, "image/jpeg", size,
                      jpeg_file(rgba_rows(enabled(size), (255, 255, 255)))))
    return icons


def device_icon_source(icons):
    lines = ["// Generated by tools/make_icons.py: the device icons as byte tables.",
             '#include "runtime/device_icons.h"', "", "namespace {", ""]
    for n, (_, _, _, data) in enumerate(icons):
        lines.append("constexpr unsigned char kIcon%d[] = {" % n)
        for i in range(0, len(data), 16):
            lines.append("    " + ", ".join("0x%02x" % b for b in data[i:i + 16]) + ",")
        lines.append("};")
    lines += ["", "} // namespace", "", "extern const DeviceIcon kDeviceIcons[] = {"]
    for n, (path, mime, size, data) in enumerate(icons):
        lines.append('    {"%s", "%s", %d, %d, kIcon%d, %d},' % (path, mime, size, size, n,
                                                                  len(data)))
    lines += ["};", "extern const int32_t kDeviceIconCount = %d;" % len(icons), ""]
    return "\n".join(lines)


def write_if_changed(path, text):
    if os.path.exists(path):
        with open(path) as f:
            if f.read() == text:
                return
    with open(path, "w") as f:
        f.write(text)


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--device-icons":
        os.makedirs(os.path.dirname(os.path.abspath(sys.argv[2])), exist_ok=True)
        write_if_changed(sys.argv[2], device_icon_source(device_icons()))
        return
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    for name, draw in (("kb_on.ico", enabled), ("kb_off.ico", disabled)):
        with open(os.path.join(out, name), "wb") as f:
            f.write(icon_file([draw(32), draw(16)]))
    with open(os.path.join(out, "kb_icons.rc"), "w") as f:
        f.write('104 ICON "kb_on.ico"\n105 ICON "kb_off.ico"\n')


if __name__ == "__main__":
    main()
