"""A player two releases behind with the Windows programs under Wine: the
scenario of test_lapsed_player, WinINet and the Windows file calls."""

import unittest

from test_lapsed_player import LapsedScenarios
from zem_wine import WIN_BIN, WineGameRuns, WineTestCase, batch_file


class WineLapsedPlayer(LapsedScenarios, WineGameRuns, WineTestCase):
    programs = WIN_BIN
    key = None
    batch = batch_file("echo game started", "exit 0")



if __name__ == "__main__":
    unittest.main()
