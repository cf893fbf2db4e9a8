#!/usr/bin/env python3
"""Writes a ZIP archive exactly as described, hostile shapes included.

Usage: craft_zip.py OUT.zip < description.json

The description is a JSON list of entries, written in order. Each entry is an object:
  "name":   the entry name (any text; "name_hex" gives raw bytes instead)
  "kind":   "file" (default), "dir", "link" or "bulk"
  "data":   the stored content (text, default empty); for a link, its target
            ("data_hex" gives raw bytes instead)
  "mode":   Unix mode bits to store (default by kind: 0o100644, 0o040755, 0o120777)
  "system": host system of the entry (default 3, Unix)
  "size":   the uncompressed size to declare in the central directory instead of the real
            one (written as a ZIP64 field when it does not fit in 32 bits)
  "utf8":   set the UTF-8 name flag (default: set when the name is not ASCII)
  "repeat": store the data this many times over (default 1)
  "deflate": compress the entry with deflate instead of storing it
A "bulk" entry stands for "count" empty files named "prefix" + 0, 1, 2, ...

Entries are stored uncompressed unless "deflate" is set. Archives with more than 65,535 entries get ZIP64 end
records, as the real tools write them.
"""

import json
import struct
import sys
import zlib

DEFAULT_MODES = {"file": 0o100644, "dir": 0o040755, "link": 0o120777}
DOS_TIME = (12 << 11) | (30 << 5)
DOS_DATE = ((2024 - 1980) << 9) | (6 << 5) | 15


def expand(entries):
    for entry in entries:
        if entry.get("kind") == "bulk":
            for i in range(entry["count"]):
                yield {"name": entry["prefix"] + str(i)}
        else:
            yield entry


def main():
    out_path = sys.argv[1]
    entries = json.load(sys.stdin)
    body = bytearray()
    central = bytearray()
    count = 0
    for entry in expand(entries):
        kind = entry.get("kind", "file")
        if "name_hex" in entry:
            name = bytes.fromhex(entry["name_hex"])
        else:
            name = entry["name"].encode("utf-8")
        if "data_hex" in entry:
            data = bytes.fromhex(entry["data_hex"])
        else:
            data = entry.get("data", "").encode("utf-8")
        data *= entry.get("repeat", 1)
        mode = entry.get("mode", DEFAULT_MODES[kind])
        system = entry.get("system", 3)
        utf8 = entry.get("utf8", not name.isascii())
        flags = 0x800 if utf8 else 0
        crc = zlib.crc32(data) & 0xFFFFFFFF
        method = 8 if entry.get("deflate") else 0
        stored = data
        if method:
            packer = zlib.compressobj(9, zlib.DEFLATED, -15)
            stored = packer.compress(data) + packer.flush()
        offset = len(body)
        body += struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, flags, method, DOS_TIME, DOS_DATE, crc,
                            len(stored), len(data), len(name), 0)
        body += name + stored
        declared = entry.get("size", len(data))
        extra = b""
        size_field = declared
        if declared >= 0xFFFFFFFF:
            size_field = 0xFFFFFFFF
            extra = struct.pack("<HHQ", 1, 8, declared)
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, (system << 8) | 30, 20, flags, method,
                               DOS_TIME, DOS_DATE, crc, len(stored), size_field, len(name), len(extra),
                               0, 0, 0, (mode << 16) & 0xFFFFFFFF, offset)
        central += name + extra
        count += 1
    central_offset = len(body)
    body += central
    if count > 0xFFFF:
        zip64_end = len(body)
        body += struct.pack("<IQHHIIQQQQ", 0x06064B50, 44, 45, 45, 0, 0, count, count,
                            len(central), central_offset)
        body += struct.pack("<IIQI", 0x07064B50, 0, zip64_end, 1)
        body += struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 0xFFFF, 0xFFFF, len(central),
                            central_offset, 0)
    else:
        body += struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, count, count, len(central),
                            central_offset, 0)
    with open(out_path, "wb") as out:
        out.write(body)


if __name__ == "__main__":
    main()
