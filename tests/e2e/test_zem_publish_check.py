"""zem-publish check and its command line: real archives made by Info-ZIP
zip and Python's zipfile, each case with the exact set of rules it must
report, and the exit statuses 0 (clean), 1 (findings), 2 (usage or I/O)."""

import json
import os
import subprocess
import unittest
import zipfile

from zem_e2e import BIN, GAME_EXE, make_temp_folder, remove_tree, write, zip_with_info_zip

PUBLISH = os.path.join(BIN, "zem-publish")
RELEASE = b'{\n  "version": "1.0"\n}\n'
GOOD_FULL = {"ZEM-Play.bat": b"echo hi\n", GAME_EXE: b"MZ", "ZEM/release.json": RELEASE, "ZEM/removed.txt": b""}


def publish(*args):
    completed = subprocess.run([PUBLISH, *args], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, timeout=300)
    return completed.stdout, completed.stderr, completed.returncode


def with_python(path, entries, compression=zipfile.ZIP_STORED):
    """entries: {name: bytes}; a name ending in '/' is a directory entry."""
    with zipfile.ZipFile(path, "w", compression) as archive:
        for name, data in entries.items():
            info = zipfile.ZipInfo(name)
            info.compress_type = compression
            archive.writestr(info, data)


class CheckRules(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = make_temp_folder("zem-publish-check-")

    @classmethod
    def tearDownClass(cls):
        remove_tree(cls.work)

    def rules_of(self, archive, *options):
        out, err, code = publish("check", "--json", *options, archive)
        self.assertIn(code, (0, 1), err)
        findings = json.loads(out)["findings"]
        self.assertEqual(code, 1 if findings else 0)
        return sorted(f["rule"] for f in findings), findings

    def archive(self, name, entries, compression=zipfile.ZIP_STORED):
        path = os.path.join(self.work, name)
        with_python(path, entries, compression)
        return path

    def test_python_zipfile_cases(self):
        long_version = b'{"version": "' + b"1" * 64 + b'"}'
        cases = [
            ("clean full", "a.zip", GOOD_FULL, []),
            ("63-character version", "b.zip", {**GOOD_FULL, "ZEM/release.json": b'{"version": "' + b"1" * 63 + b'"}'}, []),
            ("64-character version", "c.zip", {**GOOD_FULL, "ZEM/release.json": long_version},
             ["release-version-too-long"]),
            ("version a number", "d.zip", {**GOOD_FULL, "ZEM/release.json": b'{"version": 3}'},
             ["release-version-missing"]),
            ("nothing a full archive needs", "e.zip", {"Frolix_Multiplayer/Content/a.pak": b"x"},
             ["missing-batch-file", "missing-game-executable", "release-json-missing"]),
            ("names the clients pass over", "f.zip",
             {**GOOD_FULL, "Frolix_Multiplayer/con.txt": b"1", "Frolix_Multiplayer/a/../b": b"2",
              "ZEM/update.sha256": b"3", "Frolix_Multiplayer/" + "n" * 250: b"4", "Data/trailing./x": b"5",
              "Frolix_Multiplayer/ZEM-PL~1.EXE": b"6", "Frolix_Multiplayer/ok/": b""},
             ["name-rules", "name-rules", "name-rules", "name-too-long", "unsafe-name", "working-file"]),
            ("case collision and file-and-folder", "g.zip",
             {**GOOD_FULL, "Data/A.txt": b"1", "data/a.txt": b"2", "Data/x": b"3", "data/X/y": b"4", "Data/z/": b"",
              "Data/Z": b"5"},
             ["case-collision", "file-and-folder", "file-and-folder"]),
            ("update archive: program in a sub-folder, no removal list", "h-update.zip",
             {"ZEM-Play.exe": b"MZ", "bin/zem-update.EXE": b"MZ", "ZEM/release.json": RELEASE},
             ["program-in-subfolder", "removal-list-missing"]),
            ("removal lines", "i-update.zip",
             {"ZEM/release.json": RELEASE, "Frolix_Multiplayer/Content/keep.pak": b"k",
              "Frolix_Multiplayer/Content/Maps/m.umap": b"m",
              "ZEM/removed.txt": b"# comment\r\n\r\nFrolix_Multiplayer/Saved/x\r\nOther/a/b\nFrolix_Multiplayer/a\n"
                                 b"  Frolix_Multiplayer\\Content\\old.pak  \nFrolix_Multiplayer/Content/Keep.PAK\n"
                                 b"Frolix_Multiplayer/Content/\nFrolix_Multiplayer/Content/maps/\n"},
             ["removal-deletes-shipped-file", "removal-deletes-shipped-file", "removal-line-refused",
              "removal-line-refused", "removal-line-refused", "removal-line-refused"]),
            # Tools that archive "." name every entry "./..."; the clients
            # judge what follows, and "./a" is the same file as "a".
            ("leading ./", "j.zip", {"./": b"", **{"./" + name: data for name, data in GOOD_FULL.items()}}, []),
            ("./ and the same name without", "k.zip", {**GOOD_FULL, "./ZEM-Play.bat": b"echo hi\n", "a/./b": b"x", ".": b"x"},
             ["case-collision", "name-rules", "name-rules"]),
        ]
        for label, name, entries, expected in cases:
            with self.subTest(label):
                rules, _ = self.rules_of(self.archive(name, entries))
                self.assertEqual(rules, sorted(expected))

    def test_bzip2_and_encrypted_and_non_utf8_entries(self):
        bzip = self.archive("bz.zip", GOOD_FULL, zipfile.ZIP_BZIP2)
        rules, findings = self.rules_of(bzip)
        self.assertEqual(rules, ["release-json-unreadable", "removal-list-unreadable"] + ["unsupported-method"] * 4)
        # Info-ZIP: an encrypted archive, and a name that is not UTF-8.
        folder = os.path.join(self.work, "info-zip")
        for name, data in GOOD_FULL.items():
            write(os.path.join(folder, name), data)
        with open(os.path.join(os.fsencode(folder), b"Frolix_Multiplayer", b"caf\xe9.txt"), "wb") as f:
            f.write(b"latin-1 name")
        plain = os.path.join(self.work, "latin.zip")
        zip_with_info_zip(folder, plain)
        self.assertEqual(self.rules_of(plain)[0], ["name-not-utf8"])
        encrypted = os.path.join(self.work, "encrypted.zip")
        zip_with_info_zip(folder, encrypted, "-P", "secret")
        rules, _ = self.rules_of(encrypted)
        self.assertEqual(rules.count("encrypted"), 5)
        self.assertIn("release-json-unreadable", rules)

    def test_central_directory_over_one_window(self):
        # 30,000 names of 250 bytes: a central directory of about 8.9 MB,
        # more than the installer's 8 MiB window; 25,000 stay under it.
        for count, expected in ((25000, []), (30000, ["central-directory-over-8MiB"])):
            with self.subTest(count=count):
                entries = dict(GOOD_FULL)
                for i in range(count):
                    entries["Frolix_Multiplayer/Content/%05d_%s" % (i, "x" * 220)] = b""
                rules, findings = self.rules_of(self.archive("big%d.zip" % count, entries))
                self.assertEqual(rules, expected)

    def test_kind_option_and_human_output(self):
        archive = self.archive("plain.zip", {"ZEM-Play.exe": b"MZ", "ZEM/release.json": RELEASE, "ZEM/removed.txt": b""})
        self.assertEqual(self.rules_of(archive, "--kind", "update")[0], [])
        out, _, code = publish("check", archive)
        self.assertEqual(code, 1)
        self.assertIn(b"ZEM-Play.bat: no ZEM-Play.bat at the top level", out)
        self.assertIn(b"[missing-batch-file]", out)


class CommandLine(unittest.TestCase):
    def test_exit_statuses(self):
        work = make_temp_folder("zem-publish-cli-")
        self.addCleanup(remove_tree, work)
        garbage = os.path.join(work, "garbage.zip")
        write(garbage, b"not a zip at all" * 100)
        cases = [
            ((), 2, b""),
            (("--help",), 0, b"usage: zem-publish"),
            (("check", "--help"), 0, b"usage: zem-publish"),
            (("frobnicate",), 2, b"unknown command"),
            (("check",), 2, b"at least one ARCHIVE"),
            (("check", "--bogus", garbage), 2, b"unknown option --bogus"),
            (("check", garbage), 2, b"not a zip archive"),
            (("check", "--json", garbage), 2, b'{"findings": [], "errors": ["'),
            (("pack", os.path.join(work, "none"), "--version", "1", "--out", work, "--json"), 2, b'{"error": "no game'),
            (("check", os.path.join(work, "missing.zip")), 2, b"no such file"),
            (("check", "--kind", "half", garbage), 2, b"--kind is full or update"),
            (("pack", os.path.join(work, "no-such-folder"), "--version", "1", "--out", work), 2, b"no game folder"),
            (("pack", work, "--version", "x" * 64, "--out", work), 2, b"1 to 63 characters"),
            (("pack", work, "--version", 'a"b', "--out", work), 2, b"1 to 63 characters"),
            (("pack", work, "--out", work), 2, b"--version"),
            (("pack", work, "--version"), 2, b"--version needs a value"),
            (("probe", "http://localhost:1"), 2, b"https://"),
            (("probe",), 2, b"BASE_URL"),
        ]
        for args, status, text in cases:
            with self.subTest(args=args):
                out, err, code = publish(*args)
                self.assertEqual(code, status, err)
                self.assertIn(text, out + err)


if __name__ == "__main__":
    unittest.main()
