#!/usr/bin/env python3
"""Converts a 24/32-bit TrueColor XWD file (the frame buffer Xvfb keeps with -fbdir) to PNG.

   xwd_to_png.py <in.xwd> <out.png>
"""
import struct
import sys
import zlib


def shift_of(mask):
    return (mask & -mask).bit_length() - 1


def read_xwd(data):
    fields = struct.unpack(">25I", data[:100])
    header_size, version = fields[0], fields[1]
    if version != 7 or fields[11] not in (24, 32):
        raise ValueError("not a 24/32-bit XWD file (version %d, %d bpp)" % (version, fields[11]))
    width, height, byte_order = fields[4], fields[5], fields[7]
    bytes_per_pixel, bytes_per_line = fields[11] // 8, fields[12]
    masks = fields[14:17]
    start = header_size + fields[19] * 12  # the header, then ncolors colour entries
    if len(data) < start + bytes_per_line * height:
        raise ValueError("the file is shorter than its image")
    order = "little" if byte_order == 0 else "big"
    rows = []
    for y in range(height):
        line = data[start + y * bytes_per_line:start + (y + 1) * bytes_per_line]
        row = bytearray(b"\0")  # PNG filter type: none
        for x in range(width):
            pixel = int.from_bytes(line[x * bytes_per_pixel:(x + 1) * bytes_per_pixel], order)
            row += bytes((pixel & m) >> shift_of(m) for m in masks)
        rows.append(bytes(row))
    return width, height, b"".join(rows)


def png_chunk(kind, payload):
    return (struct.pack(">I", len(payload)) + kind + payload +
            struct.pack(">I", zlib.crc32(kind + payload) & 0xFFFFFFFF))


def main():
    with open(sys.argv[1], "rb") as source:
        width, height, pixels = read_xwd(source.read())
    with open(sys.argv[2], "wb") as target:
        target.write(b"\x89PNG\r\n\x1a\n")
        target.write(png_chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)))
        target.write(png_chunk(b"IDAT", zlib.compress(pixels, 9)))
        target.write(png_chunk(b"IEND", b""))


if __name__ == "__main__":
    main()
