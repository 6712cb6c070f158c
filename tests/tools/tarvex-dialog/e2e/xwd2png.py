#!/usr/bin/env python3
"""Turns an X window dump of a TrueColor server with 8-bit channels (Xvfb at depth 24) into a PNG."""
import struct
import sys
import zlib


def shift_of(mask):
    return (mask & -mask).bit_length() - 1


def convert(source, target):
    data = open(source, "rb").read()
    header = struct.unpack(">25I", data[:100])
    header_size, width, height = header[0], header[4], header[5]
    byte_order, bits_per_pixel, bytes_per_line = header[7], header[11], header[12]
    masks, ncolors = header[14:17], header[19]
    if bits_per_pixel not in (24, 32):
        sys.exit(f"{source}: {bits_per_pixel} bits per pixel are not handled")
    size = bits_per_pixel // 8
    pixels = header_size + 12 * ncolors
    # Byte offset of each colour inside a pixel as stored (8-bit channels on byte boundaries).
    offsets = []
    for mask in masks:
        shift = shift_of(mask)
        if mask >> shift != 0xFF or shift % 8:
            sys.exit(f"{source}: colour mask {mask:#x} is not handled")
        offsets.append(shift // 8 if byte_order == 0 else size - 1 - shift // 8)
    rows = bytearray()
    for y in range(height):
        line = data[pixels + y * bytes_per_line: pixels + y * bytes_per_line + size * width]
        rgb = bytearray(3 * width)
        for channel, offset in enumerate(offsets):
            rgb[channel::3] = line[offset::size]
        rows += b"\0" + rgb

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(bytes(rows), 9)) + chunk(b"IEND", b"")
    open(target, "wb").write(png)


if __name__ == "__main__":
    convert(sys.argv[1], sys.argv[2])
