#!/usr/bin/env python3
"""Points a DLL's load-config directory at its section SECTION, whose first
word is the directory's size: what a linker does for a DLL that has one, and
ours does not. For the binary check's test fixtures only.
Usage: set_load_config.py DLL SECTION"""
import struct
import sys

from check_qelevent_dll import IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG, pe_image


def main(dll, section):
    data, _, directories, sections = pe_image(dll)
    found = [(rva, offset) for name, rva, _, offset, _ in sections if name == section]
    if len(directories) <= IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG or not found:
        print(f"{dll}: no {section} section or no room for a load-config directory")
        return 1
    rva, offset = found[0]
    size = struct.unpack_from("<I", data, offset)[0]
    header = struct.unpack_from("<I", data, 0x3C)[0]
    entry = header + 24 + 96 + 8 * IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG
    patched = bytearray(data)
    struct.pack_into("<II", patched, entry, rva, size)
    with open(dll, "wb") as file:
        file.write(patched)
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]) if len(sys.argv) == 3 else 2)
