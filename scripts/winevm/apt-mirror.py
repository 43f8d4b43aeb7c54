#!/usr/bin/env python3
"""Prints the Debian mirror that this machine's apt takes a release from.

    apt-mirror.py SUITE [SOURCES_FILE...]

The emulated machine is built from the same mirror as the machine that builds
it, so the tree names no package server: apt already knows where this machine's
packages come from. Reads /etc/apt/sources.list and the *.list and *.sources
files of /etc/apt/sources.list.d/ (the files apt reads, in apt's order) unless
files are named. Prints the first URI of an enabled "deb" entry that serves
SUITE with its "main" component; exits 1 when there is none.
"""

import glob
import os
import re
import sys


ONE_LINE = re.compile(r"^deb\s+(?:\[[^\]]*\]\s+)?(\S+)\s+(\S+)\s+(.+)$")


def one_line_entries(text):
    """Entries of the one-line format: deb [options] URI SUITE COMPONENT..."""
    for line in text.splitlines():
        match = ONE_LINE.match(line.split("#", 1)[0].strip())
        if match:
            yield {"types": ["deb"], "uris": [match[1]], "suites": [match[2]],
                   "components": match[3].split(), "enabled": True}


def deb822_entries(text):
    """Stanzas of the deb822 format, separated by blank lines; a field may go
    on over lines that start with a space, and '#' lines are comments."""
    for stanza in _stanzas(text):
        fields = {}
        name = None
        for line in stanza:
            if line[0] in " \t" and name:
                fields[name] += " " + line.strip()
            elif ":" in line:
                name, value = line.split(":", 1)
                name = name.strip().lower()
                fields[name] = value.strip()
        yield {"types": fields.get("types", "").split(),
               "uris": fields.get("uris", "").split(),
               "suites": fields.get("suites", "").split(),
               "components": fields.get("components", "").split(),
               "enabled": fields.get("enabled", "yes").lower() != "no"}


def _stanzas(text):
    stanza = []
    for line in text.splitlines():
        if line.lstrip().startswith("#"):
            continue
        if line.strip():
            stanza.append(line)
        elif stanza:
            yield stanza
            stanza = []
    if stanza:
        yield stanza


def mirror(suite, files):
    for path in files:
        try:
            with open(path, encoding="utf-8", errors="replace") as source:
                text = source.read()
        except OSError:
            continue
        entries = deb822_entries(text) if path.endswith(".sources") else one_line_entries(text)
        for entry in entries:
            if (entry["enabled"] and "deb" in entry["types"] and suite in entry["suites"]
                    and "main" in entry["components"] and entry["uris"]):
                return entry["uris"][0]
    return None


def apt_source_files(root="/etc/apt"):
    parts = sorted(glob.glob(os.path.join(root, "sources.list.d", "*.list")) +
                   glob.glob(os.path.join(root, "sources.list.d", "*.sources")))
    return [os.path.join(root, "sources.list")] + parts


def main(argv):
    if len(argv) < 2:
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    found = mirror(argv[1], argv[2:] or apt_source_files())
    if not found:
        return 1
    print(found)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
