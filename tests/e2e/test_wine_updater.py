"""The Windows ZEM-Update.exe (WinINet, BCrypt, the wide file functions)
and the launcher that puts its delivered programs into place, under Wine.
The scenarios and their expected output are the POSIX build's
(test_updater), the output with "\\r\\n" for "\\n"."""

import os
import unittest

from test_updater import BANNER, UpdaterFolder, UpdateScenarios, removed, up_to_date
from zem_e2e import read, write
from zem_wine import WIN_BIN, WineTestCase, batch_file, crlf, put_windows_programs


class WineUpdater(UpdateScenarios, UpdaterFolder, WineTestCase):
    http_version = "HTTP/1.1"  # WinINet speaks HTTP/1.1 only

    # The hooks of UpdaterFolder and UpdateScenarios for the Windows build.
    def put_programs(self, game):
        put_windows_programs(game)

    def update(self, args=()):
        output, errors, code = self.run_windows(self.game, "ZEM-Update.exe", args=args)
        self.assertEqual((b"", 0), (errors, code))
        return output

    def console(self, output):
        return crlf(output)

    def launch(self):
        output, errors, code = self.run_windows(self.game, "ZEM-Play.exe")
        self.assertEqual(b"", errors)
        return output, code

    def program_image(self, name):
        return read(os.path.join(WIN_BIN, name))

    def names_batch(self, names):
        return batch_file(*['if exist "%s" echo %s is there' % (name, name) for name in names],
                          "echo game started", "exit 0")

    def assert_as_written_by_the_zip_library(self, path):
        pass  # a Windows program needs no permission of its own to start

    def assert_link_removed_as_a_link(self, link):
        # Wine shows the host's symbolic link as a directory link (reparse
        # point), so the updater removes it as a link and never looks
        # inside. Windows removes such a link with RemoveDirectoryW whatever
        # its target holds; Wine 8 refuses while the target is not empty
        # (ERROR_DIR_NOT_EMPTY, also through a handle's delete disposition),
        # so here the link and the folders above it may stay, as a link.
        # What it points to is checked by the scenario itself.
        self.assertTrue(os.path.islink(link) or not os.path.lexists(link))

    def test_removed_folder_goes_whole_with_names_windows_would_change(self):
        # Names read from the disk reach the file functions as themselves
        # ("\\?\" paths): "keep." is not taken for "keep", nor "blank "
        # for "blank", so every file goes and then the folder.
        old = self.path("Frolix_Multiplayer/Content/Old")
        for name in ("keep", "keep.", "blank ", "dots.."):
            write(os.path.join(old, name), name.encode())
        write(self.path("ZEM/removed.txt"), b"Frolix_Multiplayer/Content/Old/\n")
        self.install_state("1.0", stored_hash=b"7" * 64)
        self.publish_release("1.0")
        expected = BANNER + removed(b"Frolix_Multiplayer\\Content\\Old") + up_to_date(b"1.0")
        self.assertEqual(self.console(expected), self.update())
        self.assertFalse(os.path.exists(old))


if __name__ == "__main__":
    unittest.main()
