"""zem-publish keygen, pack --key and check --public-key: a signed release
checks clean, and check flags what programs built with the key would
refuse (an entry changed after signing, texts of another key or another
archive, a missing text). The manifest and the update signature are also
recomputed here with Python's hashlib and zipfile."""

import hashlib
import json
import os
import shutil
import unittest
import zipfile

from test_zem_publish_pack import make_game, publish
from zem_e2e import make_temp_folder, read, remove_tree

FULL, UPDATE = "frolix-rewrite.zip", "frolix-rewrite-update.zip"


class SignedRelease(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = make_temp_folder("zem-publish-signing-")
        for name in ("a", "b"):
            _, err, code = publish("keygen", cls.path(name))
            assert code == 0, err
        cls.game = make_game(cls.path("game"))
        _, err, code = publish("pack", cls.game, "--version", "1.0", "--out", cls.path("r1"), "--key", cls.path("a"))
        assert code == 0, err

    @classmethod
    def tearDownClass(cls):
        remove_tree(cls.work)

    @classmethod
    def path(cls, *parts):
        return os.path.join(cls.work, *parts)

    def rules(self, key, *archives):
        out, err, code = publish("check", "--json", "--public-key", key, *archives)
        self.assertIn(code, (0, 1), err)
        findings = json.loads(out)["findings"]
        self.assertEqual(code, 1 if findings else 0)
        return sorted((f["rule"], f["entry"]) for f in findings)

    def copy_release(self, name):
        shutil.copytree(self.path("r1", "files"), self.path(name))
        return self.path(name, FULL), self.path(name, UPDATE)

    def test_signed_release_checks_clean_and_texts_match_the_archives(self):
        full, update = self.path("r1", "files", FULL), self.path("r1", "files", UPDATE)
        public = read(self.path("a.public"))
        self.assertRegex(public, rb"^04[0-9a-f]{128}\n$")
        self.assertEqual(self.rules(self.path("a.public"), full, update), [])
        self.assertEqual(self.rules(public.decode().strip(), full, update), [])
        manifest = read(full + ".manifest").decode().split("\n")
        with zipfile.ZipFile(full) as z:
            lines = ["%s %d %s" % (hashlib.sha256(z.read(i)).hexdigest(), i.file_size, i.filename)
                     for i in z.infolist() if not i.is_dir()]
        self.assertEqual(manifest[:2], ["ZEM manifest 1", "version 1.0"])
        self.assertEqual(manifest[2:-2], lines)
        self.assertRegex(manifest[-2], "^signature [0-9a-f]{128}$")
        signature = read(update + ".sig").decode().split("\n")
        self.assertEqual(signature[:3], ["ZEM update signature 1", "version 1.0",
                                         "sha256 " + hashlib.sha256(read(update)).hexdigest()])
        # Without --key: the same archives, no signed texts, and none left
        # from a signed pack into the same OUT_DIR.
        shutil.copytree(self.path("r1"), self.path("unsigned"))
        _, err, code = publish("pack", self.game, "--version", "1.0", "--out", self.path("unsigned"))
        self.assertEqual(code, 0, err)
        self.assertEqual(sorted(os.listdir(self.path("unsigned", "files"))), ["frolix-rewrite-update.zip",
                                                                              "frolix-rewrite.zip", "release.json"])
        for name in (FULL, UPDATE):
            self.assertEqual(read(self.path("unsigned", "files", name)), read(self.path("r1", "files", name)))

    def test_check_flags_what_the_programs_would_refuse(self):
        full, update = self.copy_release("changed")
        with zipfile.ZipFile(self.path("r1", "files", FULL)) as old, zipfile.ZipFile(full, "w") as new:
            for info in old.infolist():
                data = old.read(info)
                if info.filename == "Frolix_Multiplayer/Content/version.txt":
                    data = b"9"  # same size, other bytes
                elif info.filename == "Frolix_Multiplayer/Content/Data/items.json":
                    data += b"\n"
                elif info.filename == "Frolix_Multiplayer/Content/empty.txt":
                    continue
                new.writestr(info, data)
            new.writestr("Frolix_Multiplayer/Content/added.txt", b"not signed")
        self.assertEqual(self.rules(self.path("a.public"), full), [
            ("entry-not-in-manifest", "Frolix_Multiplayer/Content/added.txt"),
            ("manifest-digest-differs", "Frolix_Multiplayer/Content/version.txt"),
            ("manifest-entry-missing", "Frolix_Multiplayer/Content/empty.txt"),
            ("manifest-size-differs", "Frolix_Multiplayer/Content/Data/items.json")])

        full, update = self.path("r1", "files", FULL), self.path("r1", "files", UPDATE)
        self.assertEqual(self.rules(self.path("b.public"), full, update),
                         [("manifest-bad-signature", ""), ("update-signature-bad-signature", "")])

        full, update = self.copy_release("missing")
        os.remove(full + ".manifest")
        os.remove(update + ".sig")
        self.assertEqual(self.rules(self.path("a.public"), full, update),
                         [("manifest-missing", ""), ("update-signature-missing", "")])
        _, _, code = publish("check", full, update)
        self.assertEqual(code, 0)  # without --public-key, as before

        # The signature of another release's update archive: another
        # digest; and with another version, that too.
        game2 = make_game(self.path("game2"), version_marker=b"2")
        for version in ("1.0", "2.0"):
            _, err, code = publish("pack", game2, "--version", version, "--out", self.path("r" + version),
                                   "--key", self.path("a"))
            self.assertEqual(code, 0, err)
        _, update = self.copy_release("other")
        shutil.copyfile(self.path("r1.0", "files", UPDATE + ".sig"), update + ".sig")
        self.assertEqual(self.rules(self.path("a.public"), update), [("update-signature-other-archive", "")])
        shutil.copyfile(self.path("r2.0", "files", UPDATE + ".sig"), update + ".sig")
        self.assertEqual(self.rules(self.path("a.public"), update), [
            ("update-signature-other-archive", ""), ("update-signature-version-differs", "ZEM/release.json")])

    def test_pack_says_when_the_version_does_not_come_after_the_base(self):
        # Updaters with the base's 1.0 installed refuse 0.9 and 1.0-rc1 as
        # going back; 1.0.1 and the base's own version are fine.
        for version, refused in (("0.9", True), ("1.0-rc1", True), ("1.0.1", False), ("1.0", False)):
            with self.subTest(version=version):
                out, err, code = publish("pack", self.game, "--version", version, "--base", self.path("r1"),
                                         "--out", self.path("next"), "--key", self.path("a"), "--json")
                self.assertEqual(code, 1 if refused else 0, err)
                rules = [f["rule"] for f in json.loads(out)["findings"]]
                self.assertEqual(rules, ["version-before-base"] if refused else [])

    def test_bad_input_is_refused_before_anything_is_written(self):
        cases = [
            (("check", "--public-key", self.path("a"), self.path("r1", "files", FULL)), b"--public-key takes"),
            (("check", "--key", self.path("a"), self.path("r1", "files", FULL)), b"not --key"),
            (("pack", self.game, "--version", "1\x7f", "--out", self.path("x")), b"the version must be"),
            (("pack", self.game, "--version", "1", "--out", self.path("x"), "--key", self.path("a.public")),
             b"is not a private key file"),
            (("pack", self.game, "--version", "1", "--out", self.path("x"), "--key", self.path("none")),
             b"no private key file"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                _, err, code = publish(*args)
                self.assertEqual(code, 2)
                self.assertIn(message, err)
                self.assertFalse(os.path.exists(self.path("x")))


if __name__ == "__main__":
    unittest.main()
