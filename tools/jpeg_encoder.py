"""A small baseline JPEG encoder for the tools that draw pictures (device icons, demo covers):
three components without subsampling, the standard's example tables."""
import math
import struct

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
    """A baseline JPEG of rows of (r, g, b) or (r, g, b, a) pixels (alpha ignored), three
    components without subsampling; sides a multiple of 8."""
    height, width = len(rows), len(rows[0])
    assert width % 8 == 0 and height % 8 == 0
    planes = [[], [], []]
    for row in rows:
        for px in row:
            r, g, b = px[:3]
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
