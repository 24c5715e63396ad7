#!/usr/bin/env python3
"""Converts a 24- or 32-bit ZPixmap XWD image (what `xwd -root` writes for Xvfb) to PNG."""
import struct
import sys
import zlib


def main(source, target):
    data = open(source, "rb").read()
    header = struct.unpack(">25I", data[:100])
    header_size, width, height = header[0], header[4], header[5]
    bits_per_pixel, bytes_per_line, ncolors = header[11], header[12], header[19]
    red_mask, green_mask, blue_mask = header[13], header[14], header[15]
    if bits_per_pixel not in (24, 32):
        sys.exit(f"only 24 or 32 bits per pixel are handled, not {bits_per_pixel}")
    step = bits_per_pixel // 8
    pixels = data[header_size + ncolors * 12:]
    byte_order = ">" if header[7] == 1 else "<"  # image byte order: 1 MSBFirst

    def shift(mask):
        return (mask & -mask).bit_length() - 1

    shifts = [shift(m) for m in (red_mask, green_mask, blue_mask)]
    rows = bytearray()
    for y in range(height):
        rows.append(0)
        line = pixels[y * bytes_per_line:y * bytes_per_line + width * step]
        for x in range(0, len(line), step):
            value = int.from_bytes(line[x:x + step], "big" if byte_order == ">" else "little")
            rows += bytes((value >> s) & 0xFF for s in shifts)

    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body +
                struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))

    with open(target, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n")
        out.write(chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)))
        out.write(chunk(b"IDAT", zlib.compress(bytes(rows), 6)))
        out.write(chunk(b"IEND", b""))


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
