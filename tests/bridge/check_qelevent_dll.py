#!/usr/bin/env python3
"""Checks a built qelevent.dll as a file, with the mingw binutils; nothing of
it runs. Usage: check_qelevent_dll.py OBJDUMP WINDRES DLL

Fails (exit 1, one line per problem) unless the file is an i386 DLL that
exports exactly InitMap (ordinal 1) and ProcessEvent (ordinal 2) under plain
names, imports VNXEventW by name from vnxsdevt.dll and ordinals 5 and 6 from
VOVURU32.DLL, needs no C++ or GCC runtime DLL, and carries the string table
with exactly the ids 1000 to 1020, all in language 0x0409.
"""
import re
import subprocess
import sys

EXPECTED_EXPORTS = {"InitMap": 1, "ProcessEvent": 2}
RUNTIME_DLL = re.compile(r"^(libstdc\+\+|libgcc|libwinpthread)", re.IGNORECASE)
STRING_IDS = set(range(1000, 1021))
ENGLISH_US = 0x0409


def run(*command, check=True):
    result = subprocess.run(command, check=check, capture_output=True, text=True,
                            errors="replace")
    return result.stdout if result.returncode == 0 else ""


def section(text, start, end_pattern=r"^\S"):
    """The lines after the line that starts with |start|, up to the next line
    matching |end_pattern| (by default the next unindented line)."""
    lines = text.splitlines()
    for i, line in enumerate(lines):
        if line.startswith(start):
            body = []
            for rest in lines[i + 1:]:
                if re.match(end_pattern, rest):
                    break
                body.append(rest)
            return body
    return None


def parse_exports(private):
    """(module name, number of exported addresses, {name: ordinal})."""
    base_match = re.search(r"^Ordinal Base\s+(\d+)", private, re.M)
    name_match = re.search(r"^Name\s+[0-9a-fA-F]+\s+(\S+)", private, re.M)
    if not base_match:
        return None, 0, {}
    base = int(base_match.group(1))
    addresses = section(private, "Export Address Table --", r"^\[Ordinal/Name Pointer\]") or []
    count = sum(1 for line in addresses if re.match(r"^\s*\[\s*\d+\]\s+\+base\[", line))
    names = {}
    for line in section(private, "[Ordinal/Name Pointer] Table", r"^\s*$") or []:
        match = re.match(r"^\s*\[\s*(\d+)\]\s+(\S+)\s*$", line)
        if match:
            names[match.group(2)] = int(match.group(1)) + base
    return name_match.group(1) if name_match else None, count, names


def parse_imports(private):
    """{dll name: [("name", member) or ("ordinal", number), ...]}."""
    imports = {}
    current = None
    for line in private.splitlines():
        match = re.match(r"^\s*DLL Name:\s*(\S+)", line)
        if match:
            current = imports.setdefault(match.group(1), [])
            continue
        if current is None:
            continue
        if not line.strip():
            current = None
            continue
        entry = re.match(r"^\s*([0-9a-fA-F]+)\s+(\d+)\s+(\S+)", line)
        if entry and entry.group(3) == "<none>":
            current.append(("ordinal", int(entry.group(2))))
        elif entry:
            current.append(("name", entry.group(3)))
    return imports


def parse_string_table(rc):
    """{(id, language)} of every STRINGTABLE entry. windres writes a LANGUAGE
    line only where the language changes."""
    entries = set()
    language = None
    inside = False
    for line in rc.splitlines():
        match = re.match(r"^\s*LANGUAGE\s+(\d+)\s*,\s*(\d+)", line)
        if match:
            language = int(match.group(1)) | (int(match.group(2)) << 10)
            continue
        if re.match(r"^\s*STRINGTABLE\b", line):
            inside = True
            continue
        if inside and re.match(r"^\s*END\b", line):
            inside = False
            continue
        entry = re.match(r"^\s*(\d+)\s*,\s*L?\"", line)
        if inside and entry:
            entries.add((int(entry.group(1)), language))
    return entries


def find_imports(imports, dll):
    for name, entries in imports.items():
        if name.lower() == dll.lower():
            return entries
    return None


def check(objdump, windres, dll):
    problems = []
    header = run(objdump, "-f", dll)
    if "file format pei-i386" not in header or not re.search(r"architecture:\s*i386\b", header):
        problems.append("machine: not a 32-bit x86 PE image")
    private = run(objdump, "-p", dll)
    characteristics = re.search(r"^Characteristics\s+0x([0-9a-fA-F]+)", private, re.M)
    if not characteristics or not int(characteristics.group(1), 16) & 0x2000:
        problems.append("characteristics: not a DLL")

    module, count, names = parse_exports(private)
    if module != "qelevent.dll":
        problems.append(f"export table: module name {module!r}, expected 'qelevent.dll'")
    if names != EXPECTED_EXPORTS or count != len(EXPECTED_EXPORTS):
        problems.append(f"export table: {count} entries named {names}, "
                        f"expected exactly {EXPECTED_EXPORTS}")

    imports = parse_imports(private)
    event_library = find_imports(imports, "vnxsdevt.dll")
    if event_library != [("name", "VNXEventW")]:
        problems.append(f"imports from vnxsdevt.dll: {event_library}, "
                        "expected VNXEventW by its plain name only")
    ipc_library = find_imports(imports, "VOVURU32.DLL")
    if ipc_library is None or sorted(ipc_library) != [("ordinal", 5), ("ordinal", 6)]:
        problems.append(f"imports from VOVURU32.DLL: {ipc_library}, "
                        "expected ordinals 5 and 6 only")
    runtimes = [name for name in imports if RUNTIME_DLL.match(name)]
    if runtimes:
        problems.append(f"imports: depends on runtime DLLs {runtimes}")

    # windres refuses a file without resources; that is an empty string table.
    strings = parse_string_table(run(windres, "-i", dll, "-O", "rc", check=False))
    ids = {string_id for string_id, _ in strings}
    languages = {language for _, language in strings}
    if ids != STRING_IDS or languages != {ENGLISH_US}:
        missing = sorted(STRING_IDS - ids)
        extra = sorted(ids - STRING_IDS)
        problems.append(f"string table: missing ids {missing}, extra ids {extra}, languages "
                        f"{sorted(hex(lang) for lang in languages if lang is not None)}, "
                        "expected ids 1000 to 1020 in 0x409 only")
    return problems


def main(argv):
    if len(argv) != 4:
        print(__doc__, file=sys.stderr)
        return 2
    problems = check(*argv[1:])
    for problem in problems:
        print(f"{argv[3]}: {problem}")
    if not problems:
        print(f"{argv[3]}: i386 DLL, exports InitMap @1 and ProcessEvent @2, imports "
              "VNXEventW and VOVURU32.DLL #5 and #6, no runtime DLL, strings 1000-1020 in 0x409")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
