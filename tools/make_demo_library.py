#!/usr/bin/env python3
"""Writes a small demo music library: silent MP3 tracks with ID3v2.3 tags (title, artist,
album, genre, year, track number and an embedded JPEG cover) and an M3U playlist.

The MPEG audio frames and the JPEG covers are generated here; no encoder is needed.
"""
import argparse
import math
import os
import struct
import unicodedata

# ---------------------------------------------------------------------------------------------
# MPEG-1 Layer III: 128 kbit/s, 48 kHz, mono. Every frame is 384 bytes and 1152 samples (24 ms);
# an all-zero side info and main data decode as silence.
# ---------------------------------------------------------------------------------------------
FRAME_HEADER = bytes([0xFF, 0xFB, 0x94, 0xC0])
FRAME_BYTES = 144 * 128000 // 48000
FRAME_SECONDS = 1152 / 48000.0


def mpeg_audio(seconds):
    frames = int(round(seconds / FRAME_SECONDS))
    frame = FRAME_HEADER + bytes(FRAME_BYTES - len(FRAME_HEADER))
    return frame * frames


# ---------------------------------------------------------------------------------------------
# Baseline JPEG, 4:4:4 YCbCr, the example quantisation and Huffman tables of the standard.
# ---------------------------------------------------------------------------------------------
ZIGZAG = [0, 1, 8, 16, 9, 2, 3, 10, 17, 24, 32, 25, 18, 11, 4, 5, 12, 19, 26, 33, 40, 48, 41, 34,
          27, 20, 13, 6, 7, 14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37,
          44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63]
Q_LUMA = [16, 11, 10, 16, 24, 40, 51, 61, 12, 12, 14, 19, 26, 58, 60, 55, 14, 13, 16, 24, 40, 57,
          69, 56, 14, 17, 22, 29, 51, 87, 80, 62, 18, 22, 37, 56, 68, 109, 103, 77, 24, 35, 55,
          64, 81, 104, 113, 92, 49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100,
          103, 99]
Q_CHROMA = [17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99, 24, 26, 56, 99, 99,
            99, 99, 99, 47, 66, 99, 99, 99, 99, 99, 99] + [99] * 32
DC_LUMA = ([0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0], list(range(12)))
DC_CHROMA = ([0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0], list(range(12)))
AC_LUMA = ([0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7D], bytes.fromhex(
    "01020300041105122131410613516107227114328191a1082342b1c11552d1f02433627282090a161718191a"
    "25262728292a3435363738393a434445464748494a535455565758595a636465666768696a73747576777879"
    "7a838485868788898a92939495969798999aa2a3a4a5a6a7a8a9aab2b3b4b5b6b7b8b9bac2c3c4c5c6c7c8c9"
    "cad2d3d4d5d6d7d8d9dae1e2e3e4e5e6e7e8e9eaf1f2f3f4f5f6f7f8f9fa"))
AC_CHROMA = ([0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77], bytes.fromhex(
    "000102031104052131061241510761711322328108144291a1b1c109233352f0156272d10a162434e125f117"
    "18191a262728292a35363738393a434445464748494a535455565758595a636465666768696a737475767778"
    "797a82838485868788898a92939495969798999aa2a3a4a5a6a7a8a9aab2b3b4b5b6b7b8b9bac2c3c4c5c6c7"
    "c8c9cad2d3d4d5d6d7d8d9dae2e3e4e5e6e7e8e9eaf2f3f4f5f6f7f8f9fa"))


def huffman_codes(table):
    counts, symbols = table
    codes, code, k = {}, 0, 0
    for length in range(1, 17):
        for _ in range(counts[length - 1]):
            codes[symbols[k]] = (code, length)
            code += 1
            k += 1
        code <<= 1
    return codes


class BitWriter:
    def __init__(self):
        self.out = bytearray()
        self.acc, self.n = 0, 0

    def write(self, value, length):
        for i in range(length - 1, -1, -1):
            self.acc = (self.acc << 1) | ((value >> i) & 1)
            self.n += 1
            if self.n == 8:
                self.out.append(self.acc)
                if self.acc == 0xFF:
                    self.out.append(0)  # byte stuffing
                self.acc, self.n = 0, 0

    def flush(self):
        if self.n:
            self.write((1 << (8 - self.n)) - 1, 8 - self.n)


def magnitude(value):
    size = abs(value).bit_length()
    bits = value if value >= 0 else value + (1 << size) - 1
    return size, bits


COS = [[math.cos((2 * x + 1) * u * math.pi / 16) for x in range(8)] for u in range(8)]


def fdct(block):
    out = [0.0] * 64
    for v in range(8):
        for u in range(8):
            s = 0.0
            for y in range(8):
                row = block[y * 8:(y + 1) * 8]
                cy = COS[v][y]
                for x in range(8):
                    s += row[x] * COS[u][x] * cy
            cu = math.sqrt(0.5) if u == 0 else 1.0
            cv = math.sqrt(0.5) if v == 0 else 1.0
            out[v * 8 + u] = 0.25 * cu * cv * s
    return out


def encode_block(bits, block, quant, dc_codes, ac_codes, previous_dc):
    coefficients = fdct([p - 128 for p in block])
    q = [int(round(coefficients[ZIGZAG[i]] / quant[ZIGZAG[i]])) for i in range(64)]
    size, value = magnitude(q[0] - previous_dc)
    bits.write(*dc_codes[size])
    bits.write(value, size)
    run = 0
    for coefficient in q[1:]:
        if coefficient == 0:
            run += 1
            continue
        while run > 15:
            bits.write(*ac_codes[0xF0])
            run -= 16
        size, value = magnitude(coefficient)
        bits.write(*ac_codes[(run << 4) | size])
        bits.write(value, size)
        run = 0
    if run:
        bits.write(*ac_codes[0x00])
    return q[0]


def segment(marker, payload):
    return struct.pack(">BBH", 0xFF, marker, len(payload) + 2) + payload


def jpeg(width, height, pixel):
    """pixel(x, y) -> (r, g, b); width and height multiples of 8."""
    planes = [[], [], []]
    for y in range(height):
        for x in range(width):
            r, g, b = pixel(x, y)
            planes[0].append(0.299 * r + 0.587 * g + 0.114 * b)
            planes[1].append(128 - 0.168736 * r - 0.331264 * g + 0.5 * b)
            planes[2].append(128 + 0.5 * r - 0.418688 * g - 0.081312 * b)
    tables = [(Q_LUMA, huffman_codes(DC_LUMA), huffman_codes(AC_LUMA)),
              (Q_CHROMA, huffman_codes(DC_CHROMA), huffman_codes(AC_CHROMA)),
              (Q_CHROMA, huffman_codes(DC_CHROMA), huffman_codes(AC_CHROMA))]
    bits = BitWriter()
    previous = [0, 0, 0]
    for by in range(0, height, 8):
        for bx in range(0, width, 8):
            for c in range(3):
                block = [planes[c][(by + y) * width + bx + x] for y in range(8) for x in range(8)]
                quant, dc, ac = tables[c]
                previous[c] = encode_block(bits, block, quant, dc, ac, previous[c])
    bits.flush()
    out = b"\xFF\xD8"
    out += segment(0xE0, b"JFIF\0\x01\x01\0\0\x01\0\x01\0\0")
    out += segment(0xDB, b"\0" + bytes(Q_LUMA[i] for i in ZIGZAG))
    out += segment(0xDB, b"\x01" + bytes(Q_CHROMA[i] for i in ZIGZAG))
    out += segment(0xC0, struct.pack(">BHHB", 8, height, width, 3) +
                   b"\x01\x11\x00\x02\x11\x01\x03\x11\x01")
    for tc_th, (counts, symbols) in ((0x00, DC_LUMA), (0x10, AC_LUMA), (0x01, DC_CHROMA),
                                     (0x11, AC_CHROMA)):
        out += segment(0xC4, bytes([tc_th]) + bytes(counts) + bytes(symbols))
    out += segment(0xDA, b"\x03\x01\x00\x02\x11\x03\x11\x00\x3F\x00")
    return out + bytes(bits.out) + b"\xFF\xD9"


def cover(colour, accent):
    """A 64x64 cover: a diagonal blend of two colours with a light disc."""
    def pixel(x, y):
        t = (x + y) / 126.0
        base = [int(colour[i] * (1 - t) + accent[i] * t) for i in range(3)]
        if (x - 32) ** 2 + (y - 32) ** 2 < 14 ** 2:
            return tuple(min(255, c + 90) for c in base)
        return tuple(base)
    return jpeg(64, 64, pixel)


# ---------------------------------------------------------------------------------------------
# ID3v2.3 tags (text frames in ISO-8859-1, one APIC frame) and the ID3v1 trailer.
# ---------------------------------------------------------------------------------------------
def syncsafe(n):
    return bytes([(n >> 21) & 0x7F, (n >> 14) & 0x7F, (n >> 7) & 0x7F, n & 0x7F])


def frame(frame_id, payload):
    return frame_id.encode("ascii") + struct.pack(">IH", len(payload), 0) + payload


def id3v2(tags, picture):
    body = b""
    for frame_id, text in tags:
        body += frame(frame_id, b"\0" + text.encode("latin-1"))
    if picture is not None:
        body += frame("APIC", b"\0image/jpeg\0\x03Cover\0" + picture)
    body += bytes(64)  # padding
    return b"ID3\x03\x00\x00" + syncsafe(len(body)) + body


def id3v1(title, artist, album, year, track, genre_number):
    def field(text, n):
        return text.encode("latin-1")[:n].ljust(n, b"\0")
    return (b"TAG" + field(title, 30) + field(artist, 30) + field(album, 30) + field(year, 4) +
            field("", 28) + b"\0" + bytes([track, genre_number]))


ALBUMS = [
    # artist, album, year, genre, (cover colours), [(title, seconds)]
    ("The Kestrels", "Open Skies", "2019", "Rock", ((200, 60, 40), (250, 190, 60)),
     [("Morning Flight", 7), ("Hover", 9), ("Stoop", 6)]),
    ("The Kestrels", "Night Roost", "2021", "Rock", ((30, 40, 110), (120, 60, 160)),
     [("Dusk", 8), ("Café Lights", 10)]),
    ("Bloom Ensemble", "Petals", "2020", "Classical", ((60, 140, 70), (220, 220, 120)),
     [("Opening", 12), ("Étude in Green", 9)]),
    ("Nadia Ferro", "Small Hours", "2018", "Jazz", ((90, 50, 30), (200, 150, 100)),
     [("Slow Train", 11)]),
]
GENRE_NUMBERS = {"Rock": 17, "Classical": 32, "Jazz": 8}


def safe_name(text):
    """An ASCII file name: accents dropped, other characters outside letters, digits and a few
    marks replaced by '_'."""
    plain = unicodedata.normalize("NFKD", text).encode("ascii", "ignore").decode("ascii")
    return "".join(c if c.isalnum() or c in " -_'" else "_" for c in plain).strip()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0].replace("\n", " "))
    parser.add_argument("output_dir", metavar="OUTPUT_DIR",
                        help="folder to write the library into (made when missing)")
    root = parser.parse_args().output_dir
    playlist = ["#EXTM3U"]
    count = 0
    for artist, album, year, genre, colours, tracks in ALBUMS:
        folder = os.path.join(root, safe_name(artist), safe_name(album))
        os.makedirs(folder, exist_ok=True)
        picture = cover(*colours)
        for number, (title, seconds) in enumerate(tracks, 1):
            tags = [("TIT2", title), ("TPE1", artist), ("TALB", album), ("TCON", genre),
                    ("TYER", year), ("TRCK", "%d/%d" % (number, len(tracks)))]
            name = "%02d %s.mp3" % (number, safe_name(title))
            data = id3v2(tags, picture) + mpeg_audio(seconds)
            data += id3v1(title, artist, album, year, number, GENRE_NUMBERS[genre])
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)
            count += 1
            if number == 1 or genre == "Jazz":
                relative = "/".join([safe_name(artist), safe_name(album), name])
                playlist.append("#EXTINF:%d,%s - %s" % (seconds, artist, title))
                playlist.append(relative)
    with open(os.path.join(root, "Road Trip.m3u"), "w", encoding="latin-1") as f:
        f.write("\n".join(playlist) + "\n")
    print("demo library: %d tracks and 1 playlist in %s" % (count, root))


if __name__ == "__main__":
    main()
