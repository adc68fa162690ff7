"""Signed releases with the Windows programs (BCrypt's ECDSA, WinINet)
under Wine: the scenarios of test_signed_releases, with programs built
with the same publisher's key (ZEM_WIN_SIGNED_BIN)."""

import os
import shutil
import unittest

from test_signed_releases import SIGNING_KEY, SignedScenarios
from zem_wine import WineGameRuns, WineTestCase

WIN_SIGNED_BIN = os.environ.get("ZEM_WIN_SIGNED_BIN", "")


@unittest.skipUnless(WIN_SIGNED_BIN and SIGNING_KEY, "needs ZEM_WIN_SIGNED_BIN and ZEM_SIGNING_KEY (scripts/setup)")
class WineSignedReleases(SignedScenarios, WineGameRuns, WineTestCase):
    def put_signed_programs(self, game):
        for name in ("ZEM-Play.exe", "ZEM-Update.exe"):
            shutil.copyfile(os.path.join(WIN_SIGNED_BIN, name), os.path.join(game, name))


if __name__ == "__main__":
    unittest.main()
