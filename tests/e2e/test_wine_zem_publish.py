"""The Windows build of zem-publish under Wine: pack (miniz's compressor,
Win32 threads) makes the same bytes twice and archives the native check
accepts, and probe (WinINet) passes them served by nginx. Signing (BCrypt)
and the native build's (OpenSSL) read each other's key files and verify
each other's signatures."""

import os
import subprocess
import unittest

from zem_e2e import BIN, GAME_EXE, make_temp_folder, read, remove_tree, write
from zem_wine import WIN_BIN, WineTestCase


@unittest.skipUnless(WIN_BIN, "ZEM_WIN_BIN is not set")
class WindowsPublish(WineTestCase):
    def test_pack_then_probe(self):
        work = make_temp_folder("zem-wine-publish-")
        self.addCleanup(remove_tree, work)
        game = os.path.join(work, "game")
        write(os.path.join(game, "ZEM-Play.bat"), b"echo hi\r\n")
        write(os.path.join(game, GAME_EXE), os.urandom(300000))
        write(os.path.join(game, "Frolix_Multiplayer/Content/Data/items.json"), b'{"item": 1}\n' * 5000)
        for out in ("a", "b"):
            stdout, stderr, code = self.run_windows(
                WIN_BIN, "zem-publish.exe", cwd=work,
                args=("pack", "game", "--version", "3.1", "--out", out, "--threads", "2", "--quiet"))
            self.assertEqual(code, 0, stdout + stderr)
        for name in ("frolix-rewrite.zip", "frolix-rewrite-update.zip", "release.json"):
            self.assertEqual(read(os.path.join(work, "a", "files", name)), read(os.path.join(work, "b", "files", name)))
            self.serve(name, os.path.join(work, "a", "files", name))
        native = subprocess.run([os.path.join(BIN, "zem-publish"), "check",
                                 *(os.path.join(work, "a", "files", n) for n in ("frolix-rewrite.zip",
                                                                                 "frolix-rewrite-update.zip"))],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.assertEqual(native.returncode, 0, native.stdout + native.stderr)
        stdout, stderr, code = self.run_windows(WIN_BIN, "zem-publish.exe", cwd=work,
                                                args=("probe", self.nginx_url("").rstrip("/"), "--local", "a"))
        self.assertEqual(code, 0, stdout + stderr)
        self.assertIn(b"ok: HTTP/1.1: last window 206", stdout)
        self.assertIn(b"ok: HTTP/1.1: update archive 200", stdout)

    def test_keys_and_signatures_cross_between_builds(self):
        work = make_temp_folder("zem-wine-sign-")
        self.addCleanup(remove_tree, work)
        game = os.path.join(work, "game")
        write(os.path.join(game, "ZEM-Play.bat"), b"echo hi\r\n")
        write(os.path.join(game, GAME_EXE), os.urandom(70000))

        def windows(*args):
            stdout, stderr, code = self.run_windows(WIN_BIN, "zem-publish.exe", cwd=work, args=(*args, "--quiet"))
            return stdout + stderr, code

        def native(*args):
            done = subprocess.run([os.path.abspath(os.path.join(BIN, "zem-publish")), *args, "--quiet"], cwd=work,
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            return done.stdout, done.returncode

        archives = lambda out: (os.path.join(out, "files", "frolix-rewrite.zip"),
                                os.path.join(out, "files", "frolix-rewrite-update.zip"))
        # Each build makes a key and packs with the other's key file.
        for make, key in ((windows, "win-key"), (native, "native-key")):
            output, code = make("keygen", key)
            self.assertEqual(code, 0, output)
        for pack, key, out in ((windows, "native-key", "by-windows"), (native, "win-key", "by-native")):
            output, code = pack("pack", "game", "--version", "4.2", "--out", out, "--key", key)
            self.assertEqual(code, 0, output)
        # Each checks the other's signatures, and refuses them for the
        # wrong key.
        for check, key, out in ((native, "native-key.public", "by-windows"), (windows, "win-key.public", "by-native")):
            output, code = check("check", "--public-key", key, *archives(out))
            self.assertEqual(code, 0, output)
        output, code = windows("check", "--json", "--public-key", "native-key.public", *archives("by-native"))
        self.assertEqual(code, 1, output)
        self.assertIn(b'"rule": "manifest-bad-signature"', output)
        self.assertIn(b'"rule": "update-signature-bad-signature"', output)


if __name__ == "__main__":
    unittest.main()
