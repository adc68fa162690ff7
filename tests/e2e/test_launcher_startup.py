"""The launcher's start-up, end to end: the built ZEM-Play.exe in a
temporary game folder; console output compared byte for byte."""

import os
import shutil
import subprocess
import time
import unittest

from zem_e2e import (GAME_EXE, WAIT_DIVISOR, make_game_folder, make_installed_game, put_programs, read,
                     remove_tree, run_program, write)

MISSING_BATCH = b"ZEM: ZEM-Play.bat isn't next to this file. Put this file in the Frolix folder.\n"


class StartupScenarios:
    """Start-ups that both builds run, the POSIX one natively and the
    Windows one under Wine, with the same expected console output (as the
    platform writes it). The test class provides game and the hooks
    put_programs(game, launcher_name), launch(game, name, cwd) -> (output,
    code) of game/name started in cwd (the game folder when None),
    console(output), shown_folder(game), folder_batch(exit_code) (prints
    "started in <folder>"), echo_batch(text) (prints the text, exit code 0),
    silent_batch() and wait_divisor."""

    def path(self, name):
        return os.path.join(self.game, name)

    def test_batch_exit_code_is_passed_on_from_a_folder_with_blanks(self):
        game = os.path.join(self.game, "Frolix Rewrite game")
        os.makedirs(game)
        self.put_programs(game)
        # The batch file runs in the game folder and shares the console.
        make_installed_game(game, self.folder_batch(3))
        output, code = self.launch(game)
        self.assertEqual(3, code)
        self.assertEqual(self.console(b"started in %s\n" % self.shown_folder(game).encode()), output)

    def test_installed_game_starts_without_touching_anything_else(self):
        self.put_programs(self.game)
        make_installed_game(self.game, self.silent_batch())
        before = sorted(os.listdir(self.game) + ["ZEM"])
        output, code = self.launch(self.game)
        self.assertEqual((b"", 0), (output, code))
        # Only the lock that keeps a second window from writing meanwhile.
        self.assertEqual(before, sorted(os.listdir(self.game)))
        self.assertEqual(["writer.lock"], os.listdir(os.path.join(self.game, "ZEM")))

    def test_delivered_launcher_swaps_in_and_old_copy_goes_next_start(self):
        self.put_programs(self.game)
        make_installed_game(self.game, self.echo_batch("game started"))
        old_image = read(self.path("ZEM-Play.exe"))
        new_image = old_image + b"new release"  # still runs: data after the image is ignored
        # Written without execute permission, as the updater's zip library
        # writes it: moved into place it must still start.
        write(self.path("ZEM-Play.exe.new"), new_image)
        write(self.path("ZEM-Play.exe.old"), b"from the start before")

        output, code = self.launch(self.game)
        self.assertEqual((self.console(b"game started\n"), 0), (output, code))
        self.assertEqual(new_image, read(self.path("ZEM-Play.exe")))
        self.assertEqual(old_image, read(self.path("ZEM-Play.exe.old")))
        self.assertFalse(os.path.exists(self.path("ZEM-Play.exe.new")))

        output, code = self.launch(self.game)
        self.assertEqual((self.console(b"game started\n"), 0), (output, code))
        self.assertFalse(os.path.exists(self.path("ZEM-Play.exe.old")))
        self.assertEqual(new_image, read(self.path("ZEM-Play.exe")))

    def test_launcher_under_another_name_swaps_in_that_name(self):
        self.put_programs(self.game, launcher_name="Frolix.exe")
        make_installed_game(self.game, self.echo_batch("game started"))
        old_image = read(self.path("Frolix.exe"))
        write(self.path("Frolix.exe.new"), old_image + b"new")
        write(self.path("ZEM-Play.exe.new"), b"not for this launcher")
        output, code = self.launch(self.game, "Frolix.exe")
        self.assertEqual((self.console(b"game started\n"), 0), (output, code))
        self.assertEqual(old_image + b"new", read(self.path("Frolix.exe")))
        self.assertEqual(old_image, read(self.path("Frolix.exe.old")))
        self.assertEqual(b"not for this launcher", read(self.path("ZEM-Play.exe.new")))

    def test_delivered_updater_is_moved_over_the_updater(self):
        self.put_programs(self.game)
        make_installed_game(self.game, self.echo_batch("game started"))
        write(self.path("ZEM-Update.exe.new"), b"new updater")
        output, code = self.launch(self.game)
        self.assertEqual((self.console(b"game started\n"), 0), (output, code))
        self.assertEqual(b"new updater", read(self.path("ZEM-Update.exe")))
        self.assertFalse(os.path.exists(self.path("ZEM-Update.exe.new")))

    def test_delivered_copy_that_cannot_move_in_puts_the_launcher_back(self):
        # An immutable delivered copy: the launcher moves itself aside, the
        # second move fails, and it must move itself back at once.
        self.put_programs(self.game)
        make_installed_game(self.game, self.echo_batch("game started"))
        image = read(self.path("ZEM-Play.exe"))
        write(self.path("ZEM-Play.exe.new"), b"cannot be moved")
        if subprocess.run(["chattr", "+i", self.path("ZEM-Play.exe.new")],
                          stderr=subprocess.DEVNULL).returncode != 0:
            self.skipTest("this file system cannot make a file immutable")
        self.addCleanup(subprocess.run, ["chattr", "-i", self.path("ZEM-Play.exe.new")])
        output, code = self.launch(self.game)
        self.assertEqual((self.console(b"game started\n"), 0), (output, code))
        self.assertEqual(image, read(self.path("ZEM-Play.exe")))
        self.assertFalse(os.path.exists(self.path("ZEM-Play.exe.old")))
        self.assertEqual(b"cannot be moved", read(self.path("ZEM-Play.exe.new")))

    def test_missing_batch_file_reports_waits_and_ends_with_1(self):
        self.put_programs(self.game)
        write(self.path(GAME_EXE), b"MZ")
        started = time.monotonic()
        output, code = self.launch(self.game)
        elapsed = time.monotonic() - started
        self.assertEqual((self.console(MISSING_BATCH), 1), (output, code))
        self.assertGreaterEqual(elapsed, 10.0 / self.wait_divisor)

    def test_own_path_of_260_characters_ends_at_once_silently(self):
        deep = self.game
        while len(deep) < 250:
            deep = os.path.join(deep, "d" * 20)
        os.makedirs(deep)
        self.put_programs(deep)
        make_installed_game(deep, self.echo_batch("game started"))
        write(os.path.join(deep, "ZEM-Play.exe.new"), b"must stay")
        self.assertGreaterEqual(len(os.path.join(deep, "ZEM-Play.exe")), 260)
        # Started from the short folder above: Windows starts no process in
        # a current directory this long.
        output, code = self.launch(deep, cwd=self.game)
        self.assertEqual((b"", 1), (output, code))
        self.assertEqual(b"must stay", read(os.path.join(deep, "ZEM-Play.exe.new")))


class LauncherStartup(StartupScenarios, unittest.TestCase):
    """The shared start-up scenarios with the native build."""

    wait_divisor = WAIT_DIVISOR

    def setUp(self):
        self.game = make_game_folder("zem-start-")
        self.addCleanup(remove_tree, self.game)

    def put_programs(self, game, launcher_name="ZEM-Play.exe"):
        put_programs(game, launcher_name)

    def launch(self, game, name="ZEM-Play.exe", cwd=None):
        completed = subprocess.run([os.path.join(game, name)], cwd=cwd or game, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=600)
        return completed.stdout, completed.returncode

    def console(self, output):
        return output

    def shown_folder(self, game):
        return game

    def folder_batch(self, exit_code):
        return b"echo started in $(pwd)\nexit %d\n" % exit_code

    def echo_batch(self, text):
        return b"echo %s\nexit 0\n" % text.encode()

    def silent_batch(self):
        return b"exit 0\n"


@unittest.skipUnless(os.environ.get("ZEM_EXACT_BIN"), "needs the build with exact waits (ZEM_EXACT_BIN)")
class ExactWaits(unittest.TestCase):
    """The product build waits the full time: 10 s for a missing batch file."""

    def test_missing_batch_file_waits_ten_seconds(self):
        game = make_game_folder("zem-wait-")
        self.addCleanup(remove_tree, game)
        launcher = os.path.join(game, "ZEM-Play.exe")
        shutil.copyfile(os.path.join(os.environ["ZEM_EXACT_BIN"], "ZEM-Play.exe"), launcher)
        os.chmod(launcher, 0o755)
        write(os.path.join(game, GAME_EXE), b"MZ")
        started = time.monotonic()
        output, code = run_program(game, "ZEM-Play.exe")
        elapsed = time.monotonic() - started
        self.assertEqual((MISSING_BATCH, 1), (output, code))
        self.assertGreaterEqual(elapsed, 10.0)
        self.assertLess(elapsed, 15.0)


if __name__ == "__main__":
    unittest.main()
