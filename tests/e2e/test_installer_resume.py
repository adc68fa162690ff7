"""An installation stopped inside a large stored entry and started again:
the built ZEM-Play.exe against the tests' fault server, which goes silent
at a byte in the middle of the entry's data while the launcher is killed.
The test build records its part file every MiB (a user's every 64 MiB), in
"ZEM/install-journal" with the files it moved into place. The next run
keeps what the journal vouches for, fetches only the rest, and reads back
only what the journal does not cover; what does not hold up (damaged kept
bytes, a part file cut below its record, a journal that does not read
back) is written again. The archive may also change between the runs: the
kept part follows its entry when the entry's data moved, a record vouches
only for its own file when entries are renumbered, and a part file of an
entry the archive no longer has is removed."""

import os
import re
import shutil
import subprocess
import time
import unittest
import zipfile

from test_installer_faults import GAME_EXE, BATCH_EXIT_CODE, GAME_STARTED, ServedGame, entry_spans
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
COPY = "Frolix_Multiplayer/Content/Movies/launcher-copy.bin"  # the game's executable again


def archive_files(path):
    with zipfile.ZipFile(path) as z:
        return {name: z.read(name) for name in z.namelist() if not name.endswith("/") and not name.startswith("ZEM/")}


def flip_byte(path, offset):
    with open(path, "r+b") as f:
        f.seek(offset)
        byte = f.read(1)
        f.seek(offset)
        f.write(bytes([byte[0] ^ 0xFF]))


def put_damaged_copy(game, files):
    """A stale COPY on disk: the executable's size, not its bytes."""
    path = os.path.join(game, COPY)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(files[GAME_EXE][:-1] + bytes([files[GAME_EXE][-1] ^ 0xFF]))


def write_changed_archive(path, files, change):
    """The game's archive as it may be after a change on the server.
    "data moved": the executable's local header carries an extra field of
    1,000 bytes, so every later entry's data lies 1,004 bytes further on,
    each entry's name, index, size and CRC-32 unchanged. "renumbered": COPY
    comes first (the executable's size and CRC-32 under another name), so
    every entry's index is one more. "entry gone": the big entry is left
    out."""
    with zipfile.ZipFile(path, "w") as z:
        named = dict(files)
        if change == "renumbered":
            named = {COPY: files[GAME_EXE], **files}
        elif change == "entry gone":
            del named[BIG]
        for name, data in named.items():
            info = zipfile.ZipInfo(name, date_time=(2026, 1, 1, 0, 0, 0))
            info.compress_type = zipfile.ZIP_STORED if name.endswith(".pak") else zipfile.ZIP_DEFLATED
            if change == "data moved" and name == GAME_EXE:
                info.extra = b"\xfe\xca" + (1000).to_bytes(2, "little") + bytes(1000)
            z.writestr(info, data)


def part_files(game):
    return [os.path.join(folder, name) for folder, _, names in os.walk(game) for name in names
            if name.endswith(".zempart")]


def cut_journal_line(game):
    path = os.path.join(game, "ZEM", "install-journal")
    with open(path, "rb") as f:
        text = f.read()
    with open(path, "wb") as f:
        f.write(text[:-3])


# What is done to the killed installation's folder before the next run,
# how the archive served then differs (None: not at all), whether the big
# entry starts over (None: not judged) and whether the small one is read
# back. The small entry is damaged (same size) in two: only a run that
# reads it back puts it right.
CASES = [
    ("kept bytes are kept", lambda game, part, files: None, None, False, False),
    ("kept bytes damaged", lambda game, part, files: flip_byte(part, 2 * MIB), None, True, False),
    ("part file cut below its record", lambda game, part, files: os.truncate(part, 4 * MIB), None, True, False),
    ("complete file passed over by the journal", lambda game, part, files: flip_byte(os.path.join(game, SMALL), 1000),
     None, False, False),
    ("journal that does not read back", lambda game, part, files: (flip_byte(os.path.join(game, SMALL), 1000),
                                                            cut_journal_line(game)), None, True, True),
    ("the entry's data moved in the archive", lambda game, part, files: None, "data moved", False, False),
    # The executable's record must not vouch for the stale copy now at its
    # index. (Whether the big entry starts over is not judged: the copy's
    # fetch reads ahead over its data.)
    ("entries renumbered in the archive", lambda game, part, files: put_damaged_copy(game, files), "renumbered", None,
     False),
    ("the entry gone from the archive", lambda game, part, files: None, "entry gone", None, False),
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
        small_record = re.compile(rb"^in-place \d+ [0-9a-f]+ %s " % re.escape(SMALL.replace("/", "\\").encode()),
                                  re.MULTILINE)
        journal = os.path.join(game, "ZEM", "install-journal")
        try:
            deadline = time.monotonic() + 60
            while not any(r.silent_at for r in self.server.seen()) and time.monotonic() < deadline:
                time.sleep(0.02)
            # The bytes before the silence reach the part file, and the record
            # of the complete file the journal (after a flush, every 0.5 s or
            # later on a loaded machine).
            time.sleep(0.5)
            while not small_record.search(read(journal)) and time.monotonic() < deadline:
                time.sleep(0.05)
        finally:
            process.kill()
            process.communicate()
        self.assertTrue(any(r.silent_at for r in self.server.seen()), self.server.seen())
        part = os.path.join(game, BIG + ".zempart")
        self.assertGreater(os.path.getsize(part), 5 * MIB)
        return game, part

    def resume(self, game, archive):
        self.server.serve(archive, beside=self.beside)
        process = self.start_launcher(game, ZEM_INSTALL_URL=self.server.url)
        output, _errors = process.communicate(timeout=120)
        return output, process.returncode, self.server.seen()

    def test_a_stopped_installation_carries_on_with_what_holds_up(self):
        killed, killed_part = self.killed_installation()
        for name, change, archive_change, starts_over, rewrites_small in CASES:
            if name not in self.cases:
                continue
            with self.subTest(name):
                game = make_temp_folder("zem-resume-case-")
                self.addCleanup(remove_tree, game)
                shutil.copytree(killed, game, dirs_exist_ok=True)
                part = os.path.join(game, os.path.relpath(killed_part, killed))
                small_before = read(os.path.join(killed, SMALL))
                archive = self.archive
                if archive_change is not None:
                    archive = os.path.join(game, "..", os.path.basename(game) + ".zip")
                    self.addCleanup(os.remove, archive)
                    write_changed_archive(archive, self.files, archive_change)
                change(game, part, self.files)
                small_changed = read(os.path.join(game, SMALL)) != small_before
                output, code, requests = self.resume(game, archive)
                self.assertEqual(BATCH_EXIT_CODE, code, output)
                installed = installed_game_files(game)
                del installed[GAME_STARTED]
                expected = archive_files(archive)
                if small_changed and not rewrites_small:
                    # Passed over by its journal record, not read back.
                    self.assertTrue(expected[SMALL] != installed[SMALL], "the damaged file was read back")
                    expected[SMALL] = installed[SMALL]
                self.assertEqual(sorted(expected), sorted(installed))
                self.assertEqual([], [name for name in expected if expected[name] != installed[name]])
                self.assertFalse(os.path.exists(os.path.join(game, "ZEM", "install-journal")))
                self.assertEqual([], part_files(game))
                if starts_over is not None:
                    _name, _header, end = next(span for span in entry_spans(archive) if span[0] == BIG)
                    data_start = end - len(self.files[BIG])
                    refetched = any(r.covers(data_start + UNKEPT_BYTE) for r in requests)
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
