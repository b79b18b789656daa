#!/usr/bin/python3
"""Turns an X window dump of a 24-bit TrueColor screen (what Xvfb writes
with -fbdir) into an RGB PNG: xwd-to-png.py IN.xwd OUT.png [WIDTHxHEIGHT],
the last keeping only that much of the top left corner.
Plain python3, no other package."""
import struct
import sys
import zlib


def main(source, target, size=None):
    data = open(source, "rb").read()
    fields = struct.unpack(">25I", data[:100])
    header_size, byte_order = fields[0], fields[7]
    width, height, bits_per_pixel, bytes_per_line = fields[4], fields[5], fields[11], fields[12]
    colormap_entries = fields[19]
    if bits_per_pixel != 32:
        sys.exit(f"{source}: {bits_per_pixel} bits per pixel, only 32 are read")
    if size:
        keep_width, keep_height = (int(n) for n in size.split("x"))
        width, height = min(width, keep_width), min(height, keep_height)
    start = header_size + 12 * colormap_entries
    rows = []
    for y in range(height):
        line = data[start + y * bytes_per_line:start + y * bytes_per_line + 4 * width]
        row = bytearray(b"\x00")
        for x in range(width):
            b0, b1, b2, b3 = line[4 * x:4 * x + 4]
            row += bytes((b2, b1, b0)) if byte_order == 0 else bytes((b1, b2, b3))
        rows.append(bytes(row))

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    with open(target, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
                  chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + chunk(b"IEND", b""))


if __name__ == "__main__":
    main(*sys.argv[1:4])
