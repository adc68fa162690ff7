"""The full installation by the Windows ZEM-Play.exe under Wine: WinINet
range requests against nginx over HTTPS, files and folders through the
wide file functions, the batch file through Wine's cmd.exe. The scenarios
and their expected output are the POSIX build's (test_installer), the
output with "\\r\\n" for "\\n"."""

import os
import subprocess
import time
import unittest

import test_updater
from test_installer import InstallScenarios, expected_output, installed_game_files, small_game, source_files
from zem_e2e import make_temp_folder, read, remove_tree, write, zip_with_info_zip
from zem_wine import WineTestCase, batch_file, crlf, put_windows_programs, without_wine_client_noise


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

    def test_game_folder_deeper_than_max_path_installs_and_updates(self):
        # The launcher's own path is well within 259 characters; the game's
        # files lie beyond 260, in folders Windows makes only in the long
        # "\\?\" form.
        game = os.path.join(self.game, "Frolix Rewrite " + "g" * 40)
        os.makedirs(game)
        self.put_programs(game)
        deep = "Frolix_Multiplayer/Content/" + "Level" * 20 + "/" + "Textures" * 12
        small_game(self.source, count=3, batch=self.game_batch())
        write(os.path.join(self.source, deep, "a.pak"), b"first" * 1000)
        write(os.path.join(self.source, deep, "Old", "b.pak"), b"retired" * 1000)
        zip_with_info_zip(self.source, self.archive)
        self.serve("frolix-rewrite.zip", self.archive)
        windows_deep = self.shown_folder(game) + "\\" + deep.replace("/", "\\")
        self.assertLess(len(self.shown_folder(game) + "\\ZEM-Play.exe"), 260)
        self.assertGreater(len(windows_deep + "\\Old\\b.pak"), 260)

        expected = self.console(expected_output(self.archive, game)) + self.game_output()
        self.assertEqual((expected, 0), self.launch(game))
        self.assertEqual(source_files(self.source), installed_game_files(game))

        # The update writes beside and below them, dates what it writes, and
        # its removal list takes a folder of that depth away.
        update = self.archive_path("update.zip")
        test_updater.make_zip(update, [("ZEM/release.json", test_updater.release_json("2.0")),
                                       (deep + "/a.pak", b"updated"), (deep + "/Sub/c.pak", b"new"),
                                       ("ZEM/removed.txt", (deep + "/Old/\r\n").encode())])
        write(os.path.join(self.docroot, "files", "release.json"), test_updater.release_json("2.0"))
        self.serve("frolix-rewrite-update.zip", update)
        output, errors, code = self.run_windows(game, "ZEM-Update.exe")
        self.assertEqual((b"", 0), (errors, code))
        expected = (test_updater.BANNER + test_updater.GETTING + test_updater.downloading(os.path.getsize(update))
                    + test_updater.installing(0, 4) + test_updater.installing(4, 4, b"\n")
                    + test_updater.removed(deep.replace("/", "\\").encode() + b"\\Old") + test_updater.updated(b"2.0"))
        self.assertEqual(self.console(expected), output)
        self.assertEqual(b"updated", read(os.path.join(game, deep, "a.pak")))
        self.assertEqual(b"new", read(os.path.join(game, deep, "Sub", "c.pak")))
        self.assertFalse(os.path.exists(os.path.join(game, deep, "Old")))
        self.assertEqual(test_updater.sha256_of(update).encode(), read(os.path.join(game, "ZEM", "update.sha256")))
        # The entries' time, set through the same long path.
        self.assertEqual(time.mktime(test_updater.ENTRY_TIME + (0, 0, -1)),
                         os.stat(os.path.join(game, deep, "Sub", "c.pak")).st_mtime)

    def test_launcher_at_a_drive_root_installs_and_starts_there(self):
        # Drive E: of the prefix is a folder of this test; the launcher lies
        # at its root and is started from E:\Sub. Its folder is "E:\":
        # "E:" alone would be the current directory on E:, that is E:\Sub.
        root = make_temp_folder("zem-wine-drive-")
        self.addCleanup(remove_tree, root)
        drive = os.path.join(self.prefix.path, "dosdevices", "e:")
        self.assertFalse(os.path.lexists(drive))
        os.symlink(root, drive)
        self.addCleanup(os.remove, drive)
        os.makedirs(os.path.join(root, "Sub"))
        self.put_programs(root)
        small_game(self.source, count=3)
        write(os.path.join(self.source, "ZEM-Play.bat"), self.folder_batch(4))
        zip_with_info_zip(self.source, self.archive)
        self.serve("frolix-rewrite.zip", self.archive)

        def launch_from_sub():
            completed = subprocess.run(self.prefix.command("E:\\ZEM-Play.exe"), cwd=os.path.join(root, "Sub"),
                                       env=self.env(), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                       stderr=subprocess.PIPE, timeout=600)
            self.assertEqual(b"", without_wine_client_noise(completed.stderr))
            return completed.stdout, completed.returncode

        started_in = self.console(b"started in E:\\\n")
        self.assertEqual((self.console(expected_output(self.archive, root)) + started_in, 4), launch_from_sub())
        self.assertEqual(source_files(self.source), installed_game_files(root))
        self.assertEqual([], os.listdir(os.path.join(root, "Sub")))
        self.assertEqual((started_in, 4), launch_from_sub())


if __name__ == "__main__":
    unittest.main()
