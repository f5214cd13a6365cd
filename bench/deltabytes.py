#!/usr/bin/python3
"""What a differential update from archive OLD to archive NEW has to fetch at
the least: the local headers and compressed bytes of NEW's entries that OLD
has no equal of (same checksum, sizes and method, whatever the name), and
everything from NEW's central directory to its end. Prints it in bytes.

    deltabytes.py OLD NEW
"""

import struct
import sys
import zipfile


def identity(info):
    return (info.CRC, info.compress_size, info.file_size, info.compress_type)


def local_header_bytes(archive, info):
    archive.seek(info.header_offset)
    names, extras = struct.unpack("<HH", archive.read(30)[26:30])
    descriptor = 16 if info.flag_bits & 0x08 else 0
    return 30 + names + extras + descriptor


def central_directory_start(zip_file):
    entries = zip_file.infolist()
    last = max(entries, key=lambda info: info.header_offset)
    with open(zip_file.filename, "rb") as archive:
        return last.header_offset + local_header_bytes(archive, last) + last.compress_size


def main():
    old_path, new_path = sys.argv[1:3]
    with zipfile.ZipFile(old_path) as old:
        known = {identity(info) for info in old.infolist()}
    with zipfile.ZipFile(new_path) as new, open(new_path, "rb") as archive:
        changed = [info for info in new.infolist() if identity(info) not in known]
        total = sum(local_header_bytes(archive, info) + info.compress_size for info in changed)
        archive.seek(0, 2)
        total += archive.tell() - central_directory_start(new)
    print(total)


if __name__ == "__main__":
    main()
