"""Rooted releases with the Windows programs (BCrypt's ECDSA, WinINet)
under Wine: the release key rotation of test_rooted_releases, with
programs built with the same root key (ZEM_WIN_ROOTED_BIN)."""

import os
import shutil
import unittest

from test_rooted_releases import ROOT_KEY, RootedScenarios
from zem_wine import WineTestCase, crlf

WIN_ROOTED_BIN = os.environ.get("ZEM_WIN_ROOTED_BIN", "")


@unittest.skipUnless(WIN_ROOTED_BIN and ROOT_KEY, "needs ZEM_WIN_ROOTED_BIN and ZEM_ROOT_SIGNING_KEY (scripts/setup)")
class WineRootedReleases(RootedScenarios, WineTestCase):
    # The first scenario only: the others judge the same walk, in common/.
    test_a_retired_release_key_and_a_replayed_delegation_are_refused = None
    test_a_root_chain_of_two_links_walked_by_a_player_who_skipped_both = None
    test_a_delegation_by_another_root_or_none_is_refused = None

    def put_rooted_programs(self, game):
        for name in ("ZEM-Play.exe", "ZEM-Update.exe"):
            shutil.copyfile(os.path.join(WIN_ROOTED_BIN, name), os.path.join(game, name))

    def launch(self, game):
        output, errors, code = self.run_windows(game, "ZEM-Play.exe")
        self.assertEqual(b"", errors)
        return output, code

    def update(self, game):
        output, errors, code = self.run_windows(game, "ZEM-Update.exe")
        self.assertEqual((b"", 0), (errors, code))
        return output

    def console(self, output):
        return crlf(output)


if __name__ == "__main__":
    unittest.main()
