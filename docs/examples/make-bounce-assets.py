#!/usr/bin/env python3
"""Writes the small assets of the `bounce` example (indexed PNGs and a WAV, standard library only)
into the folder given: make-bounce-assets.py OUT_DIR. Copy bounce.json beside them to make the movie."""
import math
import os
import struct
import sys
import wave
import zlib

if len(sys.argv) != 2:
    sys.exit("usage: make-bounce-assets.py OUT_DIR")
HERE = os.path.abspath(sys.argv[1])
os.makedirs(HERE, exist_ok=True)


def write_indexed_png(path, width, height, pixels, palette):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    raw = b"".join(b"\x00" + bytes(pixels[y * width:(y + 1) * width]) for y in range(height))
    png = b"\x89PNG\r\n\x1a\n"
    png += chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 3, 0, 0, 0))
    png += chunk(b"PLTE", b"".join(bytes(c) for c in palette))
    png += chunk(b"IDAT", zlib.compress(raw, 9))
    png += chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)


# Field: 64 x 48, 16 colours. Sky 1-4, sun 5, grass 6-7, stripes 8-15 (cycled).
palette = [(0, 0, 0), (48, 96, 208), (80, 128, 224), (112, 160, 240), (144, 192, 240), (240, 224, 96),
           (48, 160, 48), (32, 128, 32)] + [(240, 64 + 16 * i, 32 + 8 * i) for i in range(8)]
w, h = 64, 48
field = []
for y in range(h):
    for x in range(w):
        if y < 32:
            c = 1 + min(3, y // 8)
            if (x - 48) ** 2 + (y - 10) ** 2 <= 25:
                c = 5
        elif y < 36:
            c = 8 + (x // 2 + y) % 8
        else:
            c = 6 + ((x // 4 + y // 4) % 2)
        field.append(c)
write_indexed_png(os.path.join(HERE, "field.png"), w, h, field, palette)

# Ball faces: 8 x 8 (round) and 10 x 6 (squashed); 0 shows through.
ball_palette = palette
for name, (bw, bh) in (("ball1.png", (8, 8)), ("ball2.png", (10, 6))):
    px = []
    for y in range(bh):
        for x in range(bw):
            dx, dy = (x + 0.5 - bw / 2) / (bw / 2), (y + 0.5 - bh / 2) / (bh / 2)
            px.append(0 if dx * dx + dy * dy > 1 else (5 if dx + dy < -0.6 else 12))
    write_indexed_png(os.path.join(HERE, name), bw, bh, px, ball_palette)

# Boing: 0.25 s falling tone, 16-bit mono 11025 Hz.
rate = 11025
frames = bytearray()
phase = 0.0
for i in range(rate // 4):
    t = i / rate
    phase += 2 * math.pi * (520 - 900 * t) / rate
    frames += struct.pack("<h", int(math.sin(phase) * math.exp(-t * 9) * 26000))
with wave.open(os.path.join(HERE, "boing.wav"), "wb") as f:
    f.setnchannels(1)
    f.setsampwidth(2)
    f.setframerate(rate)
    f.writeframes(bytes(frames))
