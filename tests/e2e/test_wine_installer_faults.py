"""The installation when the server misbehaves, by the Windows
ZEM-Play.exe under Wine (WinINet): the scenarios of test_installer_faults
that wait on a connection (a window gone silent mid-body, headers that
never come, a server silent past the last needed byte) and the size
probe's faults, with the same expected output as the platform writes it.
The answers that are checked (another range, another archive) are checked
by code the two builds share: those run natively only."""

import unittest

from test_installer_faults import BATCH_EXIT_CODE, GAME_STARTED, FaultScenarios
from zem_wine import WineTestCase, batch_file, crlf, put_windows_programs, without_wine_client_noise


class WineInstallerFaults(FaultScenarios, WineTestCase):
    with_nginx = False
    batch = batch_file("echo Frolix Rewrite is running", "echo.> " + GAME_STARTED, "exit %d" % BATCH_EXIT_CODE)
    game_output = b"Frolix Rewrite is running\r\n"

    def put_programs(self, game):
        put_windows_programs(game)

    def start_launcher(self, game, **env):
        return self.start_windows(game, "ZEM-Play.exe", env=self.env(**env))

    def errors(self, stderr):
        return without_wine_client_noise(stderr)

    def console(self, output):
        return crlf(output)


if __name__ == "__main__":
    unittest.main()
