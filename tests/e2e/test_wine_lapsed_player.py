"""A player two releases behind with the Windows programs under Wine: the
scenario of test_lapsed_player, WinINet and the Windows file calls."""

import unittest

from test_lapsed_player import LapsedScenarios
from zem_wine import WIN_BIN, WineTestCase, batch_file, crlf


class WineLapsedPlayer(LapsedScenarios, WineTestCase):
    programs = WIN_BIN
    key = None
    batch = batch_file("echo game started", "exit 0")

    def launch(self):
        output, errors, code = self.run_windows(self.game, "ZEM-Play.exe")
        self.assertEqual(b"", errors)
        return output, code

    def update(self):
        output, errors, code = self.run_windows(self.game, "ZEM-Update.exe")
        self.assertEqual((b"", 0), (errors, code))
        return output

    def console(self, output):
        return crlf(output)

    def requests(self):
        return self.nginx.requests()


if __name__ == "__main__":
    unittest.main()
