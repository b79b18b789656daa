"""The PNG writer of the drawing scripts: 8 bits per sample, no filtering,
so that the bytes depend only on the pixels."""
import struct
import zlib


def write_png(path, width, height, color_type, rows):
    """rows: one bytes object per row, already in the colour type's layout."""
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    raw = b"".join(b"\x00" + row for row in rows)
    header = struct.pack(">IIBBBBB", width, height, 8, color_type, 0, 0, 0)
    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
                  chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))
