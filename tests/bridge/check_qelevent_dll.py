#!/usr/bin/env python3
"""Checks a built qelevent.dll as a file, with the mingw binutils; nothing of
it runs. Usage: check_qelevent_dll.py OBJDUMP WINDRES DLL
            or: check_qelevent_dll.py OBJDUMP --program EXE

Fails (exit 1, one line per problem) unless the file is an i386 DLL that
exports exactly InitMap (ordinal 1), ProcessEvent (ordinal 2) and
ResendKeptEvent (ordinal 3, for qelevent-tool resend) under plain names, imports VNXEventW by name from vnxsdevt.dll and ordinals 5 and 6 from
VOVURU32.DLL, keeps structured exception handlers allowed (no NO_SEH in its
header, and no load-config directory whose safe-handler table leaves out the
guard's handler: the plug-in guards its reads of the host's objects with
one, and Windows would refuse it and send every fault to the host), needs no
C++ or GCC runtime DLL, imports from the system only
functions of SYSTEM_IMPORTS, carries the string table with exactly the ids
1000 to 1020, all in language 0x0409, and weighs at most MAX_DLL_BYTES.

With --program it checks qelevent-tool.exe instead: a 32-bit x86 console
program that imports from PROGRAM_DLLS only, so neither a C++ or GCC runtime
DLL, which a server does not have, nor the maker's libraries, which the plug-in
it loads imports itself (the tool must start where the system cannot find
them, to say so).
"""
import os
import re
import struct
import subprocess
import sys

EXPECTED_EXPORTS = {"InitMap": 1, "ProcessEvent": 2, "ResendKeptEvent": 3}
RUNTIME_DLL = re.compile(r"^(libstdc\+\+|libgcc|libwinpthread)", re.IGNORECASE)
STRING_IDS = set(range(1000, 1021))
ENGLISH_US = 0x0409
IMAGE_DLLCHARACTERISTICS_NO_SEH = 0x0400
IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG = 10
# The handler of the structured exception frame around the reads of the
# host's objects (platform/win32/AccessViolationGuard.cpp).
GUARD_HANDLER = "_QelAccessViolationHandler"
# Every host process maps the whole DLL. Stripped, it is about 247 KB: the
# plug-in's logic (202 KB before the event log, the kept events and the checks
# of the host's objects came), the C++ library's strings, containers and
# exception support, and the C runtime's start-up. The ceiling leaves room for
# what is still to come, not for the library's streams and locales (about
# 800 KB) or its demangler and printf (about 75 KB) coming back.
MAX_DLL_BYTES = 300_000
WEIGHED_SECTIONS = (".text", ".rdata", ".eh_frame")

# Every function the DLL may import from the system, with the first Windows of
# each family that exports it: (NT family, 9x family). "95 stub": the 9x family
# exports it, so the DLL loads, but the call fails there; the plug-in opens
# files by their ANSI name there, and the runtime's uses (its own lock's
# semaphore, looking for a shared libgcc) cope with the failure. Nothing may be
# newer than Windows 2000 or missing on the 9x family; the window-station and
# desktop calls, which exist on NT only, are looked up at run time instead.
NT_VERSIONS = ["NT 3.1", "NT 3.5", "NT 3.51", "NT 4.0", "2000"]
NINE_X_VERSIONS = ["95", "95 stub", "98"]
# The C runtime that mingw-w64 builds against ships from NT 4.0 and 98 on (on
# 95 it comes with applications that install it).
MSVCRT = ("NT 4.0", "98")
SYSTEM_IMPORTS = {
    "ADVAPI32.dll": {
        "RegCloseKey": ("NT 3.1", "95"),
        "RegOpenKeyExA": ("NT 3.1", "95"),
        "RegQueryValueExA": ("NT 3.1", "95"),
    },
    "KERNEL32.dll": {
        "CloseHandle": ("NT 3.1", "95"),
        "CreateFileA": ("NT 3.1", "95"),
        "CreateFileW": ("NT 3.1", "95 stub"),
        "CreateSemaphoreW": ("NT 3.1", "95 stub"),
        "DeleteCriticalSection": ("NT 3.1", "95"),
        "EnterCriticalSection": ("NT 3.1", "95"),
        "EnumResourceLanguagesA": ("NT 3.1", "95"),
        "EnumResourceNamesA": ("NT 3.1", "95"),
        "FormatMessageA": ("NT 3.1", "95"),
        "FreeLibrary": ("NT 3.1", "95"),
        "GetCurrentThreadId": ("NT 3.1", "95"),
        "GetFileSize": ("NT 3.1", "95"),
        "GetLocalTime": ("NT 3.1", "95"),
        "GetSystemTime": ("NT 3.1", "95"),
        "LockFile": ("NT 3.1", "95"),
        "SetEndOfFile": ("NT 3.1", "95"),
        "SetFilePointer": ("NT 3.1", "95"),
        "UnlockFile": ("NT 3.1", "95"),
        "WriteFile": ("NT 3.1", "95"),
        "GetLastError": ("NT 3.1", "95"),
        "GetModuleFileNameA": ("NT 3.1", "95"),
        "GetModuleHandleA": ("NT 3.1", "95"),
        "GetModuleHandleW": ("NT 3.1", "95 stub"),
        "GetProcAddress": ("NT 3.1", "95"),
        "GetTickCount": ("NT 3.1", "95"),
        "GetUserDefaultLCID": ("NT 3.1", "95"),
        "GetVersionExA": ("NT 3.5", "95"),
        "InitializeCriticalSection": ("NT 3.1", "95"),
        "IsDBCSLeadByteEx": ("NT 4.0", "95"),
        "LeaveCriticalSection": ("NT 3.1", "95"),
        "LoadLibraryA": ("NT 3.1", "95"),
        "LoadLibraryExA": ("NT 3.1", "95"),
        "LoadLibraryW": ("NT 3.1", "95 stub"),
        "LocalFree": ("NT 3.1", "95"),
        "MultiByteToWideChar": ("NT 3.1", "95"),
        "OpenFile": ("NT 3.1", "95"),
        "ReadFile": ("NT 3.1", "95"),
        "ReleaseMutex": ("NT 3.1", "95"),
        "ReleaseSemaphore": ("NT 3.1", "95"),
        "SetErrorMode": ("NT 3.1", "95"),
        "SetEvent": ("NT 3.1", "95"),
        "SetLastError": ("NT 3.1", "95"),
        "Sleep": ("NT 3.1", "95"),
        "TlsAlloc": ("NT 3.1", "95"),
        "TlsFree": ("NT 3.1", "95"),
        "TlsGetValue": ("NT 3.1", "95"),
        "TlsSetValue": ("NT 3.1", "95"),
        "VirtualProtect": ("NT 3.1", "95"),
        "VirtualQuery": ("NT 3.1", "95"),
        "WaitForSingleObject": ("NT 3.1", "95"),
        "WideCharToMultiByte": ("NT 3.1", "95"),
    },
    "USER32.dll": {
        "LoadStringA": ("NT 3.1", "95"),
        "PostQuitMessage": ("NT 3.1", "95"),
        "PostThreadMessageA": ("NT 3.1", "95"),
    },
    "msvcrt.dll": {name: MSVCRT for name in (
        "__mb_cur_max _amsg_exit _close _errno _initterm _iob _lock _read _unlock abort atoi "
        "calloc fputc fputs free fwrite iswctype localeconv malloc memchr memcmp memcpy "
        "memmove memset realloc setlocale strchr strcmp strcoll strerror strftime strlen "
        "strncmp strxfrm towlower towupper vfprintf wcscoll wcsftime wcslen wcsxfrm").split()},
}
MAKER_LIBRARIES = {"vnxsdevt.dll", "vovuru32.dll"}
PROGRAM_DLLS = {"kernel32.dll", "advapi32.dll", "user32.dll", "msvcrt.dll"}
IMAGE_SUBSYSTEM_WINDOWS_CUI = 3


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


def allowlist_problems():
    """Entries of SYSTEM_IMPORTS that break its own rule."""
    problems = []
    for dll, functions in SYSTEM_IMPORTS.items():
        for name, (nt, nine_x) in functions.items():
            if nt not in NT_VERSIONS or nine_x not in NINE_X_VERSIONS:
                problems.append(f"allowlist: {dll} {name} ({nt}, {nine_x}) is newer than "
                                "Windows 2000 or missing on the 9x family")
    return problems


def check_system_imports(imports):
    """(problems, the first NT and 9x version that has every import)."""
    problems = []
    nt_needed, nine_x_needed = NT_VERSIONS[0], NINE_X_VERSIONS[0]
    allowed = {dll.lower(): functions for dll, functions in SYSTEM_IMPORTS.items()}
    for dll, entries in imports.items():
        if dll.lower() in MAKER_LIBRARIES or RUNTIME_DLL.match(dll):
            continue
        functions = allowed.get(dll.lower(), {})
        for kind, member in entries:
            first = functions.get(member) if kind == "name" else None
            if first is None:
                problems.append(f"imports {member if kind == 'name' else f'#{member}'} from "
                                f"{dll}, which is not in the allowlist of system imports")
                continue
            nt_needed = max(nt_needed, first[0], key=NT_VERSIONS.index)
            nine_x_needed = max(nine_x_needed, first[1], key=NINE_X_VERSIONS.index)
    return problems, (nt_needed, nine_x_needed.replace(" stub", ""))


def check(objdump, windres, dll):
    problems = []
    header = run(objdump, "-f", dll)
    if "file format pei-i386" not in header or not re.search(r"architecture:\s*i386\b", header):
        problems.append("machine: not a 32-bit x86 PE image")
    private = run(objdump, "-p", dll)
    characteristics = re.search(r"^Characteristics\s+0x([0-9a-fA-F]+)", private, re.M)
    if not characteristics or not int(characteristics.group(1), 16) & 0x2000:
        problems.append("characteristics: not a DLL")
    dll_characteristics = re.search(r"^DllCharacteristics\s+(?:0x)?([0-9a-fA-F]+)", private, re.M)
    if not dll_characteristics or int(dll_characteristics.group(1), 16) & IMAGE_DLLCHARACTERISTICS_NO_SEH:
        problems.append("DLL characteristics: NO_SEH set (or unreadable), so Windows would refuse "
                        "the handler that guards the reads of the host's objects")

    problems += load_config_problems(objdump, dll)

    module, count, names = parse_exports(private)
    if module != "qelevent.dll":
        problems.append(f"export table: module name {module!r}, expected 'qelevent.dll'")
    if names != EXPECTED_EXPORTS or count != len(EXPECTED_EXPORTS):
        problems.append(f"export table: {count} entries named {names}, "
                        f"expected exactly {EXPECTED_EXPORTS}")

    problems += weight_problems(objdump, dll)

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
    system_problems, minimum = check_system_imports(imports)
    problems += allowlist_problems() + system_problems

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
    return problems, minimum


def pe_image(path):
    """(bytes, image base, data directories [(rva, size)], sections
    [(name, rva, virtual size, file offset, file size)]) of a 32-bit PE file."""
    data = open(path, "rb").read()
    header = struct.unpack_from("<I", data, 0x3C)[0]
    section_count, optional_size = struct.unpack_from("<H12xH", data, header + 6)
    optional = header + 24
    image_base = struct.unpack_from("<I", data, optional + 28)[0]
    directory_count = struct.unpack_from("<I", data, optional + 92)[0]
    directories = [struct.unpack_from("<II", data, optional + 96 + 8 * i)
                   for i in range(directory_count)]
    sections = []
    for i in range(section_count):
        name, size, rva, file_size, offset = struct.unpack_from(
            "<8sIIII", data, optional + optional_size + 40 * i)
        sections.append((name.rstrip(b"\0").decode(errors="replace"), rva, size, offset, file_size))
    return data, image_base, directories, sections


def file_offset(sections, rva):
    for _, start, size, offset, file_size in sections:
        if start <= rva < start + max(size, file_size):
            return offset + rva - start
    return None


def symbol_rva(objdump, path, symbol):
    """The RVA of |symbol| in the file's symbol table, or in that of the copy
    beside it that keeps the symbols of a stripped file (PATH.debug). objdump
    gives each symbol's offset in its section, numbered from 1."""
    for candidate in (path, path + ".debug"):
        if not os.path.exists(candidate):
            continue
        sections = pe_image(candidate)[3]
        for line in run(objdump, "-t", candidate, check=False).splitlines():
            match = re.match(r"^\[\s*\d+\]\(sec\s+(\d+)\).*\s0x([0-9a-fA-F]+)\s+(\S+)$", line)
            if match and match.group(3) == symbol and 0 < int(match.group(1)) <= len(sections):
                return sections[int(match.group(1)) - 1][1] + int(match.group(2), 16)
    return None


def load_config_problems(objdump, dll):
    """Windows accepts a frame's handler in an image whose load-config
    directory has a safe-handler table only when the table lists it; an image
    without one, or with an empty one, has its handlers accepted."""
    data, image_base, directories, sections = pe_image(dll)
    if len(directories) <= IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG:
        return []
    rva, _ = directories[IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG]
    config = file_offset(sections, rva) if rva else None
    if config is None:
        return []
    size = struct.unpack_from("<I", data, config)[0]
    if size < 0x48:  # too old to hold SEHandlerTable and SEHandlerCount
        return []
    table_va, count = struct.unpack_from("<II", data, config + 0x40)
    table = file_offset(sections, table_va - image_base) if table_va else None
    if table is None or count == 0:
        return []
    handlers = struct.unpack_from(f"<{count}I", data, table)
    guard = symbol_rva(objdump, dll, GUARD_HANDLER)
    if guard is None:
        return [f"load-config directory: a safe-handler table of {count} entries, and the guard's "
                f"handler {GUARD_HANDLER} cannot be found (no symbols in the file or in "
                f"{os.path.basename(dll)}.debug) to look for it there"]
    if guard not in handlers:
        return [f"load-config directory: its safe-handler table ({count} entries) does not list "
                f"the guard's handler {GUARD_HANDLER}, so Windows would send every fault of a "
                "guarded read on to the host"]
    return []


def weight_problems(objdump, dll):
    size = os.path.getsize(dll)
    if size <= MAX_DLL_BYTES:
        return []
    sections = dict(re.findall(r"^\s*\d+\s+(\.\S+)\s+([0-9a-fA-F]+)\s", run(objdump, "-h", dll), re.M))
    parts = ", ".join(f"{name} {int(sections.get(name, '0'), 16):,}" for name in WEIGHED_SECTIONS)
    return [f"size: {size:,} bytes, more than the ceiling of {MAX_DLL_BYTES:,} ({parts})"]


def check_program(objdump, exe):
    problems = []
    if "file format pei-i386" not in run(objdump, "-f", exe):
        problems.append("machine: not a 32-bit x86 PE image")
    private = run(objdump, "-p", exe)
    subsystem = re.search(r"^Subsystem\s+0*([0-9a-fA-F]+)", private, re.M)
    if not subsystem or int(subsystem.group(1), 16) != IMAGE_SUBSYSTEM_WINDOWS_CUI:
        problems.append("subsystem: not a console program")
    for dll in parse_imports(private):
        if dll.lower() in MAKER_LIBRARIES:
            problems.append(f"imports: the maker's library {dll}")
        elif dll.lower() not in PROGRAM_DLLS:
            problems.append(f"imports: {dll}, not one of {sorted(PROGRAM_DLLS)}")
    return problems


def main(argv):
    if len(argv) == 4 and argv[2] == "--program":
        problems = check_program(argv[1], argv[3])
        for problem in problems:
            print(f"{argv[3]}: {problem}")
        if not problems:
            print(f"{argv[3]}: i386 console program importing from {sorted(PROGRAM_DLLS)} only")
        return 1 if problems else 0
    if len(argv) != 4:
        print(__doc__, file=sys.stderr)
        return 2
    problems, (nt, nine_x) = check(*argv[1:])
    for problem in problems:
        print(f"{argv[3]}: {problem}")
    if not problems:
        print(f"{argv[3]}: i386 DLL, exports InitMap @1, ProcessEvent @2 and "
              "ResendKeptEvent @3, imports "
              "VNXEventW and VOVURU32.DLL #5 and #6, SEH allowed with the guard's handler, "
              f"no runtime DLL, system imports from Windows {nt} and {nine_x} on, "
              "strings 1000-1020 in 0x409, "
              f"{os.path.getsize(argv[3]):,} bytes")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
