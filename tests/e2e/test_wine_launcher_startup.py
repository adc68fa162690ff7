"""The Windows ZEM-Play.exe's start-up under Wine: its own path from
GetModuleFileNameW, the moves of delivered copies, and the batch file run
by Wine's cmd.exe. The scenarios and their expected output are the POSIX
build's (test_launcher_startup), the output with "\\r\\n" for "\\n"."""

import os
import shutil
import unittest

from test_launcher_startup import StartupScenarios
from zem_wine import WIN_BIN, WIN_WAIT_DIVISOR, WineTestCase, batch_file, crlf


class WineLauncherStartup(StartupScenarios, WineTestCase):
    wait_divisor = WIN_WAIT_DIVISOR

    # The hooks of StartupScenarios for the Windows build under Wine.
    def put_programs(self, game, launcher_name="ZEM-Play.exe"):
        shutil.copyfile(os.path.join(WIN_BIN, "ZEM-Play.exe"), os.path.join(game, launcher_name))
        shutil.copyfile(os.path.join(WIN_BIN, "ZEM-Update.exe"), os.path.join(game, "ZEM-Update.exe"))

    def launch(self, game, name="ZEM-Play.exe", cwd=None):
        output, errors, code = self.run_windows(game, name, cwd=cwd)
        self.assertEqual(b"", errors)
        return output, code

    def console(self, output):
        return crlf(output)

    def shown_folder(self, game):
        return self.prefix.windows_path(game)

    def folder_batch(self, exit_code):
        return batch_file("echo started in %CD%", "exit %d" % exit_code)

    def echo_batch(self, text):
        return batch_file("echo " + text, "exit 0")

    def silent_batch(self):
        return batch_file("exit 0")


if __name__ == "__main__":
    unittest.main()
