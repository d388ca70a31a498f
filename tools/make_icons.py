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
import math
import os
import struct
import sys
import zlib

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


# Baseline JPEG: the example quantisation tables (row-major) and Huffman tables of the JPEG
# standard (Annex K).
LUMA_QUANT = [
    16, 11, 10, 16, 24, 40, 51, 61, 12, 12, 14, 19, 26, 58, 60, 55,
    14, 13, 16, 24, 40, 57, 69, 56, 14, 17, 22, 29, 51, 87, 80, 62,
    18, 22, 37, 56, 68, 109, 103, 77, 24, 35, 55, 64, 81, 104, 113, 92,
    49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99,
]
CHROMA_QUANT = [
    17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99,
    24, 26, 56, 99, 99, 99, 99, 99, 47, 66, 99, 99, 99, 99, 99, 99,
] + [99] * 32
DC_LUMA = ([0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0], list(range(12)))
DC_CHROMA = ([0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0], list(range(12)))
AC_LUMA = ([0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7D], bytes.fromhex(
    "01020300041105122131410613516107227114328191a1082342b1c11552d1f0"
    "2433627282090a161718191a25262728292a3435363738393a434445464748494a"
    "535455565758595a636465666768696a737475767778797a838485868788898a"
    "92939495969798999aa2a3a4a5a6a7a8a9aab2b3b4b5b6b7b8b9bac2c3c4c5c6"
    "c7c8c9cad2d3d4d5d6d7d8d9dae1e2e3e4e5e6e7e8e9eaf1f2f3f4f5f6f7f8f9fa"))
AC_CHROMA = ([0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77], bytes.fromhex(
    "000102031104052131061241510761711322328108144291a1b1c109233352f0"
    "156272d10a162434e125f11718191a262728292a35363738393a434445464748"
    "494a535455565758595a636465666768696a737475767778797a828384858687"
    "88898a92939495969798999aa2a3a4a5a6a7a8a9aab2b3b4b5b6b7b8b9bac2c3"
    "c4c5c6c7c8c9cad2d3d4d5d6d7d8d9dae2e3e4e5e6e7e8e9eaf2f3f4f5f6f7f8f9fa"))


def zigzag():
    """Natural (row-major) index of each coefficient in zigzag order."""
    order = sorted(((x + y, y if (x + y) % 2 else x, y * 8 + x)
                    for y in range(8) for x in range(8)))
    return [index for _, _, index in order]


ZIGZAG = zigzag()


def scaled(table, quality):
    scale = 5000 // quality if quality < 50 else 200 - 2 * quality
    return [min(255, max(1, (q * scale + 50) // 100)) for q in table]


def huffman_codes(table):
    """Symbol -> (code, length) from the counts of codes per length and the symbols."""
    counts, symbols = table
    assert sum(counts) == len(symbols)
    codes, code, k = {}, 0, 0
    for length, count in enumerate(counts, 1):
        for _ in range(count):
            codes[symbols[k]] = (code, length)
            code += 1
            k += 1
        code <<= 1
    return codes


COSINES = [[math.cos((2 * x + 1) * u * math.pi / 16) * (math.sqrt(0.5) if u == 0 else 1)
            for x in range(8)] for u in range(8)]


def fdct(block):
    """Forward DCT of 64 level-shifted samples (row-major), separable rows then columns."""
    rows = [[sum(block[y * 8 + x] * COSINES[u][x] for x in range(8)) / 2 for u in range(8)]
            for y in range(8)]
    return [sum(rows[y][u] * COSINES[v][y] for y in range(8)) / 2
            for v in range(8) for u in range(8)]


class BitWriter:
    def __init__(self):
        self.out, self.acc, self.n = bytearray(), 0, 0

    def put(self, code, length):
        self.acc = (self.acc << length) | code
        self.n += length
        while self.n >= 8:
            self.n -= 8
            byte = (self.acc >> self.n) & 0xFF
            self.out.append(byte)
            if byte == 0xFF:
                self.out.append(0)  # stuffed zero: 0xFF in data is no marker
        self.acc &= (1 << self.n) - 1

    def flush(self):
        if self.n:
            self.put((1 << (8 - self.n)) - 1, 8 - self.n)  # pad with one bits
        return bytes(self.out)


def magnitude(value):
    """JPEG's size category and the bits that encode a coefficient within it."""
    size = abs(value).bit_length()
    return size, (value if value >= 0 else value + (1 << size) - 1)


def encode_block(bits, coefficients, previous_dc, dc_codes, ac_codes):
    dc = coefficients[0]
    size, extra = magnitude(dc - previous_dc)
    bits.put(*dc_codes[size])
    if size:
        bits.put(extra, size)
    run = 0
    for value in coefficients[1:]:
        if value == 0:
            run += 1
            continue
        while run > 15:
            bits.put(*ac_codes[0xF0])
            run -= 16
        size, extra = magnitude(value)
        bits.put(*ac_codes[(run << 4) | size])
        bits.put(extra, size)
        run = 0
    if run:
        bits.put(*ac_codes[0x00])
    return dc


def jpeg_file(rows, quality=90):
    """A baseline JPEG, three components without subsampling; sides a multiple of 8."""
    height, width = len(rows), len(rows[0])
    assert width % 8 == 0 and height % 8 == 0
    planes = [[], [], []]
    for row in rows:
        for r, g, b, _ in row:
            planes[0].append(0.299 * r + 0.587 * g + 0.114 * b - 128)
            planes[1].append(-0.168736 * r - 0.331264 * g + 0.5 * b)
            planes[2].append(0.5 * r - 0.418688 * g - 0.081312 * b)
    quants = [scaled(LUMA_QUANT, quality), scaled(CHROMA_QUANT, quality)]
    tables = [(huffman_codes(DC_LUMA), huffman_codes(AC_LUMA)),
              (huffman_codes(DC_CHROMA), huffman_codes(AC_CHROMA))]
    bits, previous = BitWriter(), [0, 0, 0]
    for by in range(0, height, 8):
        for bx in range(0, width, 8):
            for c in range(3):
                block = [planes[c][(by + y) * width + bx + x] for y in range(8) for x in range(8)]
                quant = quants[min(c, 1)]
                natural = fdct(block)
                coefficients = [int(round(natural[z] / quant[z])) for z in ZIGZAG]
                previous[c] = encode_block(bits, coefficients, previous[c], *tables[min(c, 1)])

    def segment(marker, data):
        return struct.pack(">BBH", 0xFF, marker, len(data) + 2) + data
    out = b"\xff\xd8" + segment(0xE0, b"JFIF\0\x01\x01\0\0\x01\0\x01\0\0")
    for index, quant in enumerate(quants):
        out += segment(0xDB, bytes([index]) + bytes(quant[z] for z in ZIGZAG))
    out += segment(0xC0, struct.pack(">BHHB", 8, height, width, 3) +
                   bytes([1, 0x11, 0, 2, 0x11, 1, 3, 0x11, 1]))
    for klass, index, (counts, symbols) in ((0, 0, DC_LUMA), (1, 0, AC_LUMA),
                                            (0, 1, DC_CHROMA), (1, 1, AC_CHROMA)):
        out += segment(0xC4, bytes([(klass << 4) | index]) + bytes(counts) + bytes(symbols))
    out += segment(0xDA, bytes([3, 1, 0x00, 2, 0x11, 3, 0x11, 0, 63, 0]))
    return out + bits.flush() + b"\xff\xd9"


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
