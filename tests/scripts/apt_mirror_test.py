#!/usr/bin/env python3
"""The mirror of the emulated machine, read from apt sources files of both
formats as apt itself reads them."""

import importlib.util
import os
import sys
import tempfile
import unittest

SCRIPT = os.path.join(os.path.dirname(__file__), "..", "..", "scripts", "winevm", "apt-mirror.py")
spec = importlib.util.spec_from_file_location("apt_mirror", SCRIPT)
apt_mirror = importlib.util.module_from_spec(spec)
spec.loader.exec_module(apt_mirror)

DEB822 = """\
Types: deb-src
URIs: http://source.example/debian
Suites: bookworm
Components: main

# Types: deb
# URIs: http://commented.example/debian
Types: deb
URIs: http://disabled.example/debian
Suites: bookworm
Components: main
Enabled: no

Types: deb
# a comment inside the stanza
URIs: http://security.example/debian-security
Suites: bookworm-security
Components: main

Types: deb
URIs: http://mirror.example/debian
 http://second.example/debian
Suites: bookworm bookworm-updates
Components: contrib main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
"""

ONE_LINE = """\
# deb http://commented.example/debian bookworm main
deb-src http://source.example/debian bookworm main
deb http://other.example/debian bookworm contrib
deb [ arch=amd64 signed-by=/usr/share/keyrings/a.gpg ] http://list.example/debian bookworm main non-free
"""


class AptMirrorTest(unittest.TestCase):
    def mirror(self, suite, *files):
        with tempfile.TemporaryDirectory() as folder:
            paths = []
            for name, text in files:
                paths.append(os.path.join(folder, name))
                with open(paths[-1], "w") as out:
                    out.write(text)
            return apt_mirror.mirror(suite, paths)

    def test_entries_of_both_formats(self):
        cases = [
            ("deb822, first enabled deb stanza of the suite with main",
             "bookworm", [("debian.sources", DEB822)], "http://mirror.example/debian"),
            ("one-line, options in brackets with spaces",
             "bookworm", [("sources.list", ONE_LINE)], "http://list.example/debian"),
            ("files in the order given, the first match wins",
             "bookworm", [("sources.list", ONE_LINE), ("debian.sources", DEB822)],
             "http://list.example/debian"),
            ("a suite that no entry serves", "trixie", [("debian.sources", DEB822)], None),
            ("an empty file", "bookworm", [("sources.list", "")], None),
        ]
        for name, suite, files, expected in cases:
            with self.subTest(name):
                self.assertEqual(self.mirror(suite, *files), expected)

    def test_reads_only_the_files_apt_reads(self):
        with tempfile.TemporaryDirectory() as root:
            os.makedirs(os.path.join(root, "sources.list.d"))
            for name in ("b.sources", "a.list", "c.list.disabled"):
                open(os.path.join(root, "sources.list.d", name), "w").close()
            names = [os.path.relpath(path, root) for path in apt_mirror.apt_source_files(root)]
            self.assertEqual(names, ["sources.list", "sources.list.d/a.list", "sources.list.d/b.sources"])


if __name__ == "__main__":
    sys.exit(unittest.main())
