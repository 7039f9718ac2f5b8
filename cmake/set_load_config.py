#!/usr/bin/python3
"""Points a PE32+ image's load configuration directory at its _load_config_used record,
which MinGW's linker leaves unset; the record is the start of the image's section .lcfg.
Usage: set_load_config.py IMAGE"""
import struct
import sys

LOAD_CONFIG_ENTRY = 10


def main():
    image = sys.argv[1]
    with open(image, "r+b") as f:
        data = bytearray(f.read())
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        assert data[pe:pe + 4] == b"PE\0\0", "not a PE image"
        optional = pe + 24
        assert struct.unpack_from("<H", data, optional)[0] == 0x20B, "not PE32+"
        sections = struct.unpack_from("<H", data, pe + 6)[0]
        table = optional + struct.unpack_from("<H", data, pe + 20)[0]
        for i in range(sections):
            header = table + 40 * i
            if data[header:header + 8].rstrip(b"\0") == b".lcfg":
                rva, _, raw = struct.unpack_from("<III", data, header + 12)
                size = struct.unpack_from("<I", data, raw)[0]
                break
        else:
            raise SystemExit("no section .lcfg in " + image)
        struct.pack_into("<II", data, optional + 112 + 8 * LOAD_CONFIG_ENTRY, rva, size)
        f.seek(0)
        f.write(data)


if __name__ == "__main__":
    main()
