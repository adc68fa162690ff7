"""The Windows build of zem-publish under Wine: pack (miniz's compressor,
Win32 threads) makes the same bytes twice and archives the native check
accepts, and probe (WinINet) passes them served by nginx."""

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


if __name__ == "__main__":
    unittest.main()
