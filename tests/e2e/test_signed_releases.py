"""Signed releases end to end: programs built with the publisher's key
(ZEM_SIGNED_BIN) install and update a release that zem-publish signed, and
refuse, with one line and nothing of the refused release written, a
tampered entry, a tampered update archive, a signature by another key, a
missing signature and an update older than the installed release."""

import os
import shutil
import subprocess
import unittest
import zipfile

from zem_e2e import (BANNER as INSTALL_BANNER, BIN, GAME_EXE, NativeGameRuns, ServerTestCase, folder_listing,
                     make_temp_folder, read, remove_tree, write)
from test_updater import BANNER as UPDATE_BANNER, GETTING, release_json

SIGNED_BIN = os.environ.get("ZEM_SIGNED_BIN", "")
SIGNING_KEY = os.environ.get("ZEM_SIGNING_KEY", "")
PUBLISH = os.path.join(BIN, "zem-publish")

INSTALL_NOT_SIGNED = (b"  The game download isn't signed by its publisher, so nothing was installed."
                      b" Tap the game again later.\n")
DOWNLOADED = b"\r  Downloading the update... 100%\n"


def entry_refused(local_path):
    return (b"\n  %s in the game download isn't what its publisher signed, so the installation stopped."
            b" Tap the game again later.\n" % local_path)


def update_not_signed(installed):
    return b"  The update isn't signed by the game's publisher, so it wasn't installed. Playing version %s.\n" % installed


def update_older(signed, installed):
    return b"  The update would go back to version %s, so it wasn't installed. Playing version %s.\n" % (signed, installed)


def publish(*args):
    completed = subprocess.run([PUBLISH, *args, "--quiet"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, timeout=600)
    if completed.returncode != 0:
        raise AssertionError(b"zem-publish %s failed: %s%s" % (" ".join(args).encode(), completed.stdout,
                                                                completed.stderr))


def rewrite_entry(archive, name, data):
    """Rewrites the archive with Python's zipfile, the named entry holding
    data instead, or left out when data is None."""
    rewritten = archive + ".tmp"
    with zipfile.ZipFile(archive) as source, zipfile.ZipFile(rewritten, "w", zipfile.ZIP_DEFLATED) as target:
        for info in source.infolist():
            if info.filename != name:
                target.writestr(info, source.read(info))
            elif data is not None:
                target.writestr(info, data)
    os.replace(rewritten, archive)


def game_files(version):
    return {
        "ZEM-Play.bat": b"echo game started\nexit 0\n",
        GAME_EXE: b"MZ game " + version.encode(),
        "Frolix_Multiplayer/Content/Data/items.json": b'{"sword": 1}\n' * 3000,
        "Frolix_Multiplayer/Content/Paks/pakchunk0.pak": bytes(range(256)) * 400,
        "Frolix_Multiplayer/Content/version.txt": version.encode(),
    }


class SignedScenarios:
    """The scenarios, for a test class that also derives from a server test
    case and provides put_signed_programs(game), launch() -> (stdout, exit
    code), update() -> stdout and console(posix_output)."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.keys = make_temp_folder("zem-signing-keys-")
        cls.other_key = os.path.join(cls.keys, "other")
        publish("keygen", cls.other_key)

    @classmethod
    def tearDownClass(cls):
        remove_tree(cls.keys)
        super().tearDownClass()

    def setUp(self):
        super().setUp()
        self.put_signed_programs(self.game)
        self.releases = make_temp_folder("zem-signed-releases-")
        self.addCleanup(remove_tree, self.releases)

    def pack(self, version, key=SIGNING_KEY, base=None):
        """A release made and signed by zem-publish: its OUT_DIR/files."""
        source = os.path.join(self.releases, "game-" + version)
        for name, data in game_files(version).items():
            write(os.path.join(source, name), data)
        out = make_temp_folder("zem-signed-out-")
        self.addCleanup(remove_tree, out)
        publish("pack", source, "--version", version, "--out", out, "--key", key,
                *(["--base", base] if base else []))
        return os.path.join(out, "files")

    def serve_release(self, files):
        for name in os.listdir(files):
            self.serve(name, os.path.join(files, name))

    def game_listing(self):
        return {name for name in folder_listing(self.game)}

    def test_signed_release_installs_then_updates(self):
        files = self.pack("1.0")
        # A file the manifest does not list is passed over; a file already
        # on disk with the right size but other bytes is written again.
        with zipfile.ZipFile(os.path.join(files, "frolix-rewrite.zip"), "a") as archive:
            archive.writestr("Frolix_Multiplayer/Content/unlisted.txt", b"not signed")
        damaged = os.path.join(self.game, "Frolix_Multiplayer/Content/Data/items.json")
        write(damaged, b"x" * len(game_files("1.0")["Frolix_Multiplayer/Content/Data/items.json"]))
        self.serve_release(files)
        output, code = self.launch()
        self.assertEqual(0, code, output)
        self.assertIn(self.console(b"\n  Installed. Starting the game...\n"), output)
        self.assertIn(self.console(b"game started\n"), output)
        for name, data in game_files("1.0").items():
            self.assertEqual(data, read(os.path.join(self.game, name)), name)
        self.assertFalse(os.path.exists(os.path.join(self.game, "Frolix_Multiplayer/Content/unlisted.txt")))

        self.serve_release(self.pack("1.1", base=os.path.dirname(files)))
        expected = UPDATE_BANNER + GETTING + DOWNLOADED
        output = self.update()
        self.assertTrue(output.startswith(self.console(expected)), output)
        self.assertTrue(output.endswith(self.console(b"  Updated to version 1.1.\n")), output)
        self.assertEqual(b"1.1", read(os.path.join(self.game, "Frolix_Multiplayer/Content/version.txt")))
        self.assertFalse(os.path.exists(os.path.join(self.game, "ZEM/update-download.sig")))

    def test_install_refuses_a_tampered_entry(self):
        # Same size, other bytes: only the hash tells. The tampered file
        # never reaches the folder, and what was written is the signed
        # release's; the marker keeps the installation unfinished.
        files = self.pack("1.0")
        tampered = "Frolix_Multiplayer/Content/Data/items.json"
        rewrite_entry(os.path.join(files, "frolix-rewrite.zip"), tampered, b'{"sword": 9}\n' * 3000)
        self.serve_release(files)
        output, code = self.launch()
        self.assertEqual(1, code)
        self.assertTrue(output.endswith(self.console(entry_refused(tampered.replace("/", "\\").encode()))), output)
        self.assertNotIn(b"game started", output)
        written = folder_listing(self.game)
        signed = game_files("1.0")
        self.assertNotIn(tampered, written)
        self.assertNotIn(tampered + ".zempart", written)
        self.assertIn("ZEM/install-incomplete", written)
        for name, data in written.items():
            if name in signed:
                self.assertEqual(signed[name], data, name)

    def test_install_refuses_an_unsigned_manifest(self):
        cases = {
            "signed by another key": lambda files: shutil.copyfile(
                os.path.join(self.pack("1.0", key=self.other_key), "frolix-rewrite.zip.manifest"),
                os.path.join(files, "frolix-rewrite.zip.manifest")),
            "missing": lambda files: os.remove(os.path.join(files, "frolix-rewrite.zip.manifest")),
            "archive without a listed file": lambda files: rewrite_entry(
                os.path.join(files, "frolix-rewrite.zip"), "Frolix_Multiplayer/Content/version.txt", None),
        }
        for case, spoil in cases.items():
            with self.subTest(case):
                files = self.pack("1.0")
                spoil(files)
                shutil.rmtree(os.path.join(self.docroot, "files"))
                os.makedirs(os.path.join(self.docroot, "files"))
                self.serve_release(files)
                before = self.game_listing()
                output, code = self.launch()
                self.assertEqual((self.console(INSTALL_BANNER + INSTALL_NOT_SIGNED), 1), (output, code))
                self.assertEqual(before | {"ZEM/writer.lock"}, self.game_listing())

    def installed_release(self, version):
        """The game as the launcher installs release `version`; returns the
        release's OUT_DIR, a base for the next."""
        files = self.pack(version)
        self.serve_release(files)
        output, code = self.launch()
        self.assertEqual(0, code, output)
        return os.path.dirname(files)

    def test_update_refuses_an_archive_it_cannot_trust(self):
        base = self.installed_release("1.0")
        cases = {
            "tampered archive": lambda files: rewrite_entry(
                os.path.join(files, "frolix-rewrite-update.zip"), "Frolix_Multiplayer/Content/version.txt", b"1.X"),
            "signed by another key": lambda files: shutil.copyfile(
                os.path.join(self.pack("1.1", key=self.other_key, base=base), "frolix-rewrite-update.zip.sig"),
                os.path.join(files, "frolix-rewrite-update.zip.sig")),
            "missing signature": lambda files: os.remove(os.path.join(files, "frolix-rewrite-update.zip.sig")),
        }
        for case, spoil in cases.items():
            with self.subTest(case):
                files = self.pack("1.1", base=base)
                spoil(files)
                self.serve_release(files)
                before = folder_listing(self.game)
                expected = UPDATE_BANNER + GETTING + DOWNLOADED + update_not_signed(b"1.0")
                self.assertEqual(self.console(expected), self.update())
                self.assertEqual(before, folder_listing(self.game))

    def test_update_refuses_a_signed_release_that_does_not_come_after_the_installed_one(self):
        # The update decision fetches a release whose version text differs
        # in any way (and, without the full-install marker, even an older
        # one); the signed version alone decides whether it may replace the
        # installed one. 2.0 comes after its release candidates.
        cases = [("1.0", "0.9", True), ("v1.0", "v0.9", True), ("2.0-rc2", "2.0-rc1", True),
                 ("2.0-rc2", "2.0", False)]
        for installed, served, refused in cases:
            with self.subTest(installed=installed, served=served):
                for name in os.listdir(self.game):
                    remove_tree(os.path.join(self.game, name)) if os.path.isdir(os.path.join(self.game, name)) \
                        else os.remove(os.path.join(self.game, name))
                self.put_signed_programs(self.game)
                self.installed_release(installed)
                os.remove(os.path.join(self.game, "ZEM/full-install"))
                self.serve_release(self.pack(served))
                before = folder_listing(self.game)
                output = self.update()
                self.assertTrue(output.startswith(self.console(UPDATE_BANNER + GETTING + DOWNLOADED)), output)
                if refused:
                    self.assertTrue(output.endswith(self.console(update_older(served.encode(), installed.encode()))),
                                    output)
                    self.assertEqual(before, folder_listing(self.game))
                else:
                    self.assertTrue(output.endswith(self.console(b"  Updated to version %s.\n" % served.encode())),
                                    output)
                    self.assertEqual(served.encode(),
                                     read(os.path.join(self.game, "Frolix_Multiplayer/Content/version.txt")))


@unittest.skipUnless(SIGNED_BIN and SIGNING_KEY, "needs ZEM_SIGNED_BIN and ZEM_SIGNING_KEY (scripts/setup)")
class NativeSignedReleases(SignedScenarios, NativeGameRuns, ServerTestCase):
    def put_signed_programs(self, game):
        for name in ("ZEM-Play.exe", "ZEM-Update.exe"):
            shutil.copyfile(os.path.join(SIGNED_BIN, name), os.path.join(game, name))
            os.chmod(os.path.join(game, name), 0o755)


if __name__ == "__main__":
    unittest.main()
