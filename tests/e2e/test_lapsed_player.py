"""A player who skipped releases: three releases packed as a publisher
would, each against the one before it; a folder at 1.0 updated while the
server has 3.0. The updater hands the folder to the launcher, whose next
start brings it to exactly 3.0 through the full archive, the files that
2.0 retired gone. Natively, with a signed build, and (test_wine_lapsed_player)
with the Windows programs under Wine."""

import os
import random
import re
import shutil
import subprocess
import unittest
import zipfile

from zem_e2e import (BIN, GAME_EXE, NativeGameRuns, ServerTestCase, folder_listing, make_temp_folder, remove_tree,
                     write)

PUBLISH = os.path.join(BIN, "zem-publish")
SIGNED_BIN = os.environ.get("ZEM_SIGNED_BIN", "")
SIGNING_KEY = os.environ.get("ZEM_SIGNING_KEY", "")

UPDATE_BANNER = b"ZEM: checking for updates...\n"
GETTING = b"  Getting the latest update...\n"
RETIRED = "Frolix_Multiplayer/Content/Old/o.txt"
# Working files of the programs, which no release holds.
STATE_FILES = ("full-install", "writer.lock", "update.sha256")


def bytes_sent(requests, name):
    """The body bytes the server sent for /files/name, and how many requests."""
    answers = [re.search(r'"[A-Z]+ /files/([^ ?"]*)[^"]*" \d+ (\d+)', line) for line in requests]
    sent = [int(a.group(2)) for a in answers if a and a.group(1) == name]
    return sum(sent), len(sent)


def handed_to_launcher(version):
    return b"  This game missed some updates: it brings itself to version %s at its next start.\n" % version


def release_files(version, batch):
    """The game as each release has it. 2.0 changes a.txt (same size, other
    bytes) and the game executable and retires o.txt; 3.0 keeps 2.0's
    a.txt, changes b.txt and the executable."""
    rng = random.Random(5)
    files = {
        "ZEM-Play.bat": batch,
        GAME_EXE: b"MZ" + rng.randbytes(40000) + version.encode(),
        "Frolix_Multiplayer/Content/Data/a.txt": b"alpha 1\n" * 500,
        "Frolix_Multiplayer/Content/Data/b.txt": b"bravo 1\n" * 500,
        "Frolix_Multiplayer/Content/Paks/pakchunk0.pak": rng.randbytes(300000),
        RETIRED: b"retired in 2.0\n",
    }
    if version != "1.0":
        files["Frolix_Multiplayer/Content/Data/a.txt"] = b"alpha 2\n" * 500
        del files[RETIRED]
    if version == "3.0":
        files["Frolix_Multiplayer/Content/Data/b.txt"] = b"bravo 3\n" * 400
    return files


def publish(*args):
    completed = subprocess.run([PUBLISH, *args, "--quiet"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, timeout=600)
    assert completed.returncode == 0, completed.stderr
    return completed.stdout


class LapsedScenarios:
    """For a server test case that provides programs (the folder of the two
    programs under test), key (None, or the private key they trust), batch
    (a ZEM-Play.bat that prints "game started"),
    launch() -> (stdout, exit code), update() -> stdout and console(output)
    (NativeGameRuns, WineGameRuns), and nginx."""

    def setUp(self):
        super().setUp()
        self.releases = make_temp_folder("zem-lapsed-releases-")
        self.addCleanup(remove_tree, self.releases)
        for name in ("ZEM-Play.exe", "ZEM-Update.exe"):
            shutil.copyfile(os.path.join(self.programs, name), os.path.join(self.game, name))
            os.chmod(os.path.join(self.game, name), 0o755)

    def pack(self, version, base=None):
        """The release's OUT_DIR; its game folder holds the programs under
        test, so that the release's launcher is the running one."""
        source = os.path.join(self.releases, "game-" + version)
        for name, data in release_files(version, self.batch).items():
            write(os.path.join(source, name), data)
        for name in ("ZEM-Play.exe", "ZEM-Update.exe"):
            shutil.copyfile(os.path.join(self.programs, name), os.path.join(source, name))
        out = os.path.join(self.releases, version)
        publish("pack", source, "--version", version, "--out", out, *(["--base", base] if base else []),
                *(["--key", self.key] if self.key else []))
        return out

    def requests(self):
        return self.nginx.requests()

    def serve_release(self, out):
        files = os.path.join(out, "files")
        for name in os.listdir(files):
            self.serve(name, os.path.join(files, name))

    def game_without_state(self):
        listing = folder_listing(self.game)
        for name in STATE_FILES:
            listing.pop(os.path.join("ZEM", name), None)
        return listing

    def release_listing(self, version):
        listing = folder_listing(os.path.join(self.releases, "game-" + version))
        with zipfile.ZipFile(os.path.join(self.releases, version, "files", "frolix-rewrite.zip")) as z:
            for name in ("ZEM/release.json", "ZEM/removed.txt"):
                listing[os.path.join(*name.split("/"))] = z.read(name)
        return listing

    def install_first_release(self):
        r1 = self.pack("1.0")
        self.serve_release(r1)
        output, code = self.launch()
        self.assertEqual(0, code, output)
        self.assertEqual(self.release_listing("1.0"), self.game_without_state())
        return r1

    def lands_on_the_latest(self, update_output, version, fetched_update):
        """The updater's output, the launcher's next start and the folder
        after it; fetched_update: whether the updater had to fetch the
        update archive to learn its base."""
        expected = UPDATE_BANNER + (GETTING if fetched_update else b"")
        self.assertTrue(update_output.startswith(self.console(expected)), update_output)
        self.assertTrue(update_output.endswith(self.console(handed_to_launcher(version))), update_output)
        self.assertNotIn(b"Updated", update_output)
        output, code = self.launch()
        self.assertEqual(0, code, output)
        self.assertTrue(output.endswith(self.console(b"\n  Installed. Starting the game...\ngame started\n")), output)
        self.assertEqual(self.release_listing(version.decode()), self.game_without_state())
        self.assertEqual(self.console(UPDATE_BANNER + b"  Version %s, up to date.\n" % version), self.update())

    def test_two_releases_behind_lands_on_the_latest_fetching_only_what_differs(self):
        r1 = self.install_first_release()
        r2 = self.pack("2.0", base=r1)
        r3 = self.pack("3.0", base=r2)
        # The removal list carries 2.0's retirement forward.
        with zipfile.ZipFile(os.path.join(r3, "files", "frolix-rewrite-update.zip")) as z:
            self.assertEqual(z.read("ZEM/removed.txt"), RETIRED.encode() + b"\r\n")
        self.serve_release(r3)
        before = len(self.requests())
        self.lands_on_the_latest(self.update(), b"3.0", fetched_update=False)
        requests = self.requests()[before:]
        self.assertEqual((0, 0), bytes_sent(requests, "frolix-rewrite-update.zip"), requests)
        # The unchanged pak's bytes are never asked for again.
        self.assertLess(bytes_sent(requests, "frolix-rewrite.zip")[0], 300000, requests)


@unittest.skipUnless(os.path.exists(os.path.join(BIN, "ZEM-Play.exe")), "needs the test build")
class NativeLapsedPlayer(LapsedScenarios, NativeGameRuns, ServerTestCase):
    programs = BIN
    key = None
    batch = b"echo game started\nexit 0\n"

    def test_the_archive_names_its_base_when_the_description_does_not(self):
        r1 = self.install_first_release()
        r3 = self.pack("3.0", base=self.pack("2.0", base=r1))
        self.serve_release(r3)
        write(os.path.join(self.docroot, "files", "release.json"), b'{"version": "3.0"}\n')
        self.lands_on_the_latest(self.update(), b"3.0", fetched_update=True)

    def test_one_release_behind_updates_from_the_update_archive_alone(self):
        r1 = self.install_first_release()
        self.serve_release(self.pack("2.0", base=r1))
        before = len(self.requests())
        output = self.update()
        self.assertTrue(output.endswith(b"  Updated to version 2.0.\n"), output)
        self.assertEqual((0, 0), bytes_sent(self.requests()[before:], "frolix-rewrite.zip"))
        expected = self.release_listing("2.0")
        expected[os.path.join("ZEM", "release.json")] = b'{\n  "version": "2.0",\n  "base": "1.0"\n}\n'
        self.assertEqual(expected, self.game_without_state())


@unittest.skipUnless(SIGNED_BIN and SIGNING_KEY, "needs ZEM_SIGNED_BIN and ZEM_SIGNING_KEY (scripts/setup)")
class SignedLapsedPlayer(NativeLapsedPlayer):
    programs = SIGNED_BIN
    key = SIGNING_KEY


if __name__ == "__main__":
    unittest.main()
