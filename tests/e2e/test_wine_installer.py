"""The full installation by the Windows ZEM-Play.exe under Wine: WinINet
range requests against nginx over HTTPS, files and folders through the
wide file functions, the batch file through Wine's cmd.exe. The scenarios
and their expected output are the POSIX build's (test_installer), the
output with "\\r\\n" for "\\n"."""

import unittest

from test_installer import InstallScenarios
from zem_wine import WineTestCase, batch_file, crlf, put_windows_programs


class WineInstallation(InstallScenarios, WineTestCase):
    # The hooks of InstallScenarios for the Windows build under Wine.
    def put_programs(self, game):
        put_windows_programs(game)

    def launch(self, game, **env):
        output, errors, code = self.run_windows(game, "ZEM-Play.exe", env=self.env(**env))
        self.assertEqual(b"", errors)
        return output, code

    def start_launcher(self, game, **env):
        return self.start_windows(game, "ZEM-Play.exe", env=self.env(**env))

    def console(self, output):
        return crlf(output)

    def shown_folder(self, game):
        return self.prefix.windows_path(game)

    def game_batch(self):
        return batch_file("echo Frolix Rewrite is running", "exit 0")

    def game_output(self):
        return b"Frolix Rewrite is running\r\n"

    def folder_batch(self, exit_code):
        return batch_file("echo started in %CD%", "exit %d" % exit_code)


if __name__ == "__main__":
    unittest.main()
