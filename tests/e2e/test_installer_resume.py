"""An installation stopped inside a large stored entry and started again:
the built ZEM-Play.exe against the tests' fault server, which goes silent
at a byte in the middle of the entry's data while the launcher is killed.
The test build records its part file every MiB (a user's every 64 MiB), in
"ZEM/install-journal" with the files it moved into place. The next run
keeps what the journal vouches for, fetches only the rest, and reads back
only what the journal does not cover; what does not hold up (damaged kept
bytes, a part file cut below its record, a journal that does not read
back) is written again."""

import os
import shutil
import subprocess
import time
import unittest
import zipfile

from test_installer_faults import BATCH_EXIT_CODE, GAME_STARTED, ServedGame, entry_spans
from test_installer import installed_game_files
from zem_e2e import ServerTestCase, make_temp_folder, put_programs, read, remove_tree
from zem_fault_server import silent_from

MIB = 1024 * 1024
BIG = "Frolix_Multiplayer/Content/Paks/p1.pak"
SMALL = "Frolix_Multiplayer/Content/Paks/p0.pak"  # complete when the run is killed
# The server goes silent this far into the big entry's data: the run is
# killed with about 6 MiB of it on disk.
SILENT_INTO = 6 * MIB + 100
UNKEPT_BYTE = 3 * MIB  # of the entry's data: fetched again only when it starts over


def archive_files(path):
    with zipfile.ZipFile(path) as z:
        return {name: z.read(name) for name in z.namelist() if not name.endswith("/") and not name.startswith("ZEM/")}


def flip_byte(path, offset):
    with open(path, "r+b") as f:
        f.seek(offset)
        byte = f.read(1)
        f.seek(offset)
        f.write(bytes([byte[0] ^ 0xFF]))


def cut_journal_line(game):
    path = os.path.join(game, "ZEM", "install-journal")
    with open(path, "rb") as f:
        text = f.read()
    with open(path, "wb") as f:
        f.write(text[:-3])


# What is done to the killed installation's folder before the next run,
# and whether the big entry starts over and the small one is read back.
# The small entry is damaged (same size) in the last two: only a run that
# reads it back puts it right.
CASES = [
    ("kept bytes are kept", lambda game, part: None, False, False),
    ("kept bytes damaged", lambda game, part: flip_byte(part, 2 * MIB), True, False),
    ("part file cut below its record", lambda game, part: os.truncate(part, 4 * MIB), True, False),
    ("complete file passed over by the journal", lambda game, part: flip_byte(os.path.join(game, SMALL), 1000),
     False, False),
    ("journal that does not read back", lambda game, part: (flip_byte(os.path.join(game, SMALL), 1000),
                                                            cut_journal_line(game)), True, True),
]


class ResumeScenarios(ServedGame):
    """Both builds: the POSIX one natively, the Windows one under Wine (the
    first case). The test class provides put_programs(game),
    start_launcher(game, **env) -> Popen, batch, and cases (names of CASES)."""

    cases = [case[0] for case in CASES]
    game_shape = {"pak_count": 3, "pak_size": 10_000_000}

    def killed_installation(self):
        """A game folder whose installation was killed while the big
        entry's part file held about SILENT_INTO bytes."""
        game = make_temp_folder("zem-resume-game-")
        self.addCleanup(remove_tree, game)
        self.put_programs(game)
        _name, header, end = next(span for span in entry_spans(self.archive) if span[0] == BIG)
        self.data_start = end - len(self.files[BIG])
        self.server.serve(self.archive, silent_from(self.data_start + SILENT_INTO), beside=self.beside)
        process = self.start_launcher(game, ZEM_INSTALL_URL=self.server.url)
        small_index = next(i for i, span in enumerate(entry_spans(self.archive)) if span[0] == SMALL)
        journal = os.path.join(game, "ZEM", "install-journal")
        try:
            deadline = time.monotonic() + 60
            while not any(r.silent_at for r in self.server.seen()) and time.monotonic() < deadline:
                time.sleep(0.02)
            # The bytes before the silence reach the part file, and the record
            # of the complete file the journal (after a flush, every 0.5 s or
            # later on a loaded machine).
            time.sleep(0.5)
            while b"in-place %d " % small_index not in read(journal) and time.monotonic() < deadline:
                time.sleep(0.05)
        finally:
            process.kill()
            process.communicate()
        self.assertTrue(any(r.silent_at for r in self.server.seen()), self.server.seen())
        part = os.path.join(game, BIG + ".zempart")
        self.assertGreater(os.path.getsize(part), 5 * MIB)
        return game, part

    def resume(self, game):
        self.server.serve(self.archive, beside=self.beside)
        process = self.start_launcher(game, ZEM_INSTALL_URL=self.server.url)
        output, _errors = process.communicate(timeout=120)
        return output, process.returncode, self.server.seen()

    def test_a_stopped_installation_carries_on_with_what_holds_up(self):
        killed, killed_part = self.killed_installation()
        for name, change, starts_over, rewrites_small in CASES:
            if name not in self.cases:
                continue
            with self.subTest(name):
                game = make_temp_folder("zem-resume-case-")
                self.addCleanup(remove_tree, game)
                shutil.copytree(killed, game, dirs_exist_ok=True)
                part = os.path.join(game, os.path.relpath(killed_part, killed))
                small_before = read(os.path.join(killed, SMALL))
                change(game, part)
                small_changed = read(os.path.join(game, SMALL)) != small_before
                output, code, requests = self.resume(game)
                self.assertEqual(BATCH_EXIT_CODE, code, output)
                installed = installed_game_files(game)
                del installed[GAME_STARTED]
                expected = archive_files(self.archive)
                if small_changed and not rewrites_small:
                    # Passed over by its journal record, not read back.
                    self.assertTrue(expected[SMALL] != installed[SMALL], "the damaged file was read back")
                    expected[SMALL] = installed[SMALL]
                self.assertEqual(sorted(expected), sorted(installed))
                self.assertEqual([], [name for name in expected if expected[name] != installed[name]])
                self.assertFalse(os.path.exists(os.path.join(game, "ZEM", "install-journal")))
                refetched = any(r.covers(self.data_start + UNKEPT_BYTE) for r in requests)
                self.assertEqual(starts_over, refetched, requests)


class InstallerResume(ResumeScenarios, ServerTestCase):
    with_nginx = False
    batch = b": > %s\nexit %d\n" % (GAME_STARTED.encode(), BATCH_EXIT_CODE)

    def put_programs(self, game):
        put_programs(game)

    def start_launcher(self, game, **env):
        return subprocess.Popen([os.path.join(game, "ZEM-Play.exe")], cwd=game, env=self.env(**env),
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)


if __name__ == "__main__":
    unittest.main()
