#!/usr/bin/env python3
"""Checks the built qelevent-tool.exe as a file, with the mingw binutils.
Usage: check_tool_exe.py OBJDUMP EXE

Fails (exit 1, one line per problem) unless the file is a 32-bit x86 console
program that imports from the system's own DLLs only: no C++ or GCC runtime
DLL, which a server does not have, and neither of the maker's libraries, which
the plug-in it loads imports itself (the tool must start where the system
cannot find them, to say so).
"""
import os
import re
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bridge"))
from check_qelevent_dll import MAKER_LIBRARIES, RUNTIME_DLL, parse_imports, run  # noqa: E402

SYSTEM_DLLS = {"kernel32.dll", "advapi32.dll", "user32.dll", "msvcrt.dll"}
IMAGE_SUBSYSTEM_WINDOWS_CUI = 3


def check(objdump, exe):
    problems = []
    header = run(objdump, "-f", exe)
    if "file format pei-i386" not in header:
        problems.append("machine: not a 32-bit x86 PE image")
    private = run(objdump, "-p", exe)
    subsystem = re.search(r"^Subsystem\s+0*([0-9a-fA-F]+)", private, re.M)
    if not subsystem or int(subsystem.group(1), 16) != IMAGE_SUBSYSTEM_WINDOWS_CUI:
        problems.append("subsystem: not a console program")
    for dll in parse_imports(private):
        if dll.lower() in MAKER_LIBRARIES:
            problems.append(f"imports: the maker's library {dll}")
        elif RUNTIME_DLL.match(dll):
            problems.append(f"imports: the runtime DLL {dll}")
        elif dll.lower() not in SYSTEM_DLLS:
            problems.append(f"imports: {dll}, not one of {sorted(SYSTEM_DLLS)}")
    return problems


def main(argv):
    if len(argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    problems = check(*argv[1:])
    for problem in problems:
        print(f"{argv[2]}: {problem}")
    if not problems:
        print(f"{argv[2]}: i386 console program importing from {sorted(SYSTEM_DLLS)} only")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
