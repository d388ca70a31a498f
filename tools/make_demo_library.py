#!/usr/bin/env python3
"""Writes a small demo music library: silent MP3 tracks with ID3v2.3 tags (title, artist,
album, genre, year, track number and an embedded JPEG cover) and an M3U playlist.

The MPEG audio frames and the JPEG covers are generated here; no encoder is needed.
"""
import argparse
import os
import struct
import unicodedata

from jpeg_encoder import jpeg_file

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


def cover(colour, accent):
    """A 64x64 cover: a diagonal blend of two colours with a light disc."""
    def pixel(x, y):
        t = (x + y) / 126.0
        base = [int(colour[i] * (1 - t) + accent[i] * t) for i in range(3)]
        if (x - 32) ** 2 + (y - 32) ** 2 < 14 ** 2:
            return tuple(min(255, c + 90) for c in base)
        return tuple(base)
    return jpeg_file([[pixel(x, y) for x in range(64)] for y in range(64)], quality=50)


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
