"""An installation stopped inside a large stored entry and started again,
by the Windows ZEM-Play.exe under Wine: the scenarios of
test_installer_resume that go through Windows' own file calls (the kept
bytes kept, only the rest fetched; a complete file passed over by its
record, written after its folder's entries were flushed; the part file of
an entry gone from the archive found in a folder listing and removed). The
other scenarios are judged by code the two builds share."""

import unittest

from test_installer_faults import BATCH_EXIT_CODE, GAME_STARTED
from test_installer_resume import ResumeScenarios
from zem_wine import WineTestCase, batch_file, put_windows_programs


class WineInstallerResume(ResumeScenarios, WineTestCase):
    with_nginx = False
    cases = ["kept bytes are kept", "complete file passed over by the journal", "the entry gone from the archive"]
    batch = batch_file("echo.> " + GAME_STARTED, "exit %d" % BATCH_EXIT_CODE)

    def put_programs(self, game):
        put_windows_programs(game)

    def start_launcher(self, game, **env):
        return self.start_windows(game, "ZEM-Play.exe", env=self.env(**env))


if __name__ == "__main__":
    unittest.main()
