"""The installation when the server misbehaves: the built ZEM-Play.exe
against the tests' fault server (zem_fault_server), which serves a game
archive of several 8 MiB windows with range requests and, on cue, goes
silent in a window's body or before its headers or past the last byte the
installer needs, answers a 206 for another range or a 200 with the whole
file, or serves another archive from some request on. The test build waits
2 s for a silent connection and 2 to 10 ms between attempts."""

import os
import random
import subprocess
import time
import unittest
import zipfile

from test_installer import expected_output, installed_game_files
from zem_e2e import (BANNER, GAME_EXE, ServerTestCase, make_temp_folder, put_programs, read,
                     remove_tree, write)
from zem_fault_server import (FaultServer, another_range, covering, every, hang_up, headers_never_come, probe,
                              silent_from, silent_mid_body, switch_file, whole_file)

LOST = b"\n  Connection lost, trying again...\n"
UNREADABLE = b"  The game download couldn't be read. Tap the game again in a few minutes.\n"
MIB = 1024 * 1024
# A byte in the second of the archive's 8 MiB windows (in the third of
# 4 MiB windows): the faults of one window are made on the request that
# holds it.
MIDDLE = 12 * MIB
BATCH_EXIT_CODE = 5
GAME_STARTED = "game-started"  # the file the batch file makes


def game_files(batch, seed=1, pak_count=4, pak_size=6_500_000):
    """A game of about 26 MB (four .pak files), in archive order: the
    executable, the stored .pak files, 120 small deflated .ini files (a
    central directory of more than 4 KiB, beyond the zip library's first
    read of the archive's end) and the batch file last."""
    rng = random.Random(seed)
    files = {GAME_EXE: b"MZ" + rng.randbytes(3000)}
    for i in range(pak_count):
        files["Frolix_Multiplayer/Content/Paks/p%d.pak" % i] = rng.randbytes(pak_size)
    for i in range(120):
        files["Frolix_Multiplayer/Config/Section%03d.ini" % i] = b"[Section%d]\nQuality=%d\n" % (i, seed) * rng.randint(
            10, 200)
    files["ZEM-Play.bat"] = batch
    return files


def write_archive(path, files):
    with zipfile.ZipFile(path, "w") as z:
        for name, data in files.items():
            z.writestr(name, data, compress_type=zipfile.ZIP_STORED if name.endswith(".pak") else zipfile.ZIP_DEFLATED)


def entry_spans(path):
    """(name, first byte, end of data) of each entry, its local header
    included: the bytes the installer reads to write it."""
    data = read(path)
    spans = []
    with zipfile.ZipFile(path) as z:
        for info in z.infolist():
            header = info.header_offset
            name_length = int.from_bytes(data[header + 26:header + 28], "little")
            extra_length = int.from_bytes(data[header + 28:header + 30], "little")
            spans.append((info.filename, header, header + 30 + name_length + extra_length + info.compress_size))
    return spans


class Run:
    """One run of the launcher: output, exit code, seconds it took, when
    the batch file made its file (time.monotonic; None if it did not), and
    the requests the server saw."""


class ServedGame:
    """Makes the class's game, files = game_files(batch, **game_shape), its
    archive and a fault server (not yet serving it)."""

    game_shape = {}
    beside = {}  # served with the archive (FaultServer.serve)

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        try:
            cls.files = game_files(cls.batch, **cls.game_shape)
            cls.archive = cls.make_archive()
            cls.server = FaultServer(cls.ca)
        except BaseException:
            super().tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        super().tearDownClass()

    @classmethod
    def make_archive(cls):
        archive = os.path.join(cls.work, "frolix-rewrite.zip")
        write_archive(archive, cls.files)
        return archive


class FaultScenarios(ServedGame):
    """Scenarios that both builds run, the POSIX one natively and the
    Windows one under Wine. The test class provides: work, ca (set up by
    its base class) and the hooks put_programs(game), start_launcher(game,
    **env) -> Popen with stdout and stderr piped, errors(stderr) (what
    counts of standard error), console(output), batch, game_output."""

    def run_install(self, *rules, archive=None, timeout=150, resumed=False):
        """A first installation into a fresh game folder from the archive
        served under rules (resumed: one that an earlier run began, so far
        with no file); watches for the batch file's file meanwhile."""
        run = Run()
        run.game = make_temp_folder("zem-faults-game-")
        self.addCleanup(remove_tree, run.game)
        self.put_programs(run.game)
        if resumed:
            os.makedirs(os.path.join(run.game, "ZEM"), exist_ok=True)
            write(os.path.join(run.game, "ZEM/install-incomplete"), b"")
        run.normal_output = self.console(expected_output(archive or self.archive, run.game)) + self.game_output
        self.server.serve(archive or self.archive, *rules)
        started = time.monotonic()
        process = self.start_launcher(run.game, ZEM_INSTALL_URL=self.server.url)
        marker = os.path.join(run.game, GAME_STARTED)
        run.game_started = None
        try:
            while process.poll() is None and time.monotonic() < started + timeout:
                if run.game_started is None and os.path.exists(marker):
                    run.game_started = time.monotonic()
                time.sleep(0.005)
        finally:
            if process.poll() is None:
                process.kill()
            output, errors = process.communicate()
        run.seconds = time.monotonic() - started
        self.assertLess(run.seconds, timeout, "the launcher did not end")
        if run.game_started is None and os.path.exists(marker):
            run.game_started = time.monotonic()
        run.output, run.code = output, process.returncode
        self.assertEqual(b"", self.errors(errors))
        run.requests = self.server.seen()
        return run

    def assert_installed(self, run, messages=1):
        """The normal output, where the message of a lost connection may
        appear up to `messages` times; the batch file's exit code; every
        file byte for byte."""
        lost = self.console(LOST)
        self.assertLessEqual(run.output.count(lost), messages, run.output)
        self.assertEqual((run.normal_output, BATCH_EXIT_CODE),
                         (run.output.replace(lost, b"", messages), run.code), run.requests)
        installed = installed_game_files(run.game)
        self.assertIn(GAME_STARTED, installed)
        del installed[GAME_STARTED]
        self.assertEqual(self.files, installed)

    def test_window_whose_connection_stalls_is_fetched_again(self):
        for name, rule in (("silent mid-body", silent_mid_body(covering(MIDDLE), after_bytes=MIB)),
                           ("headers never come", headers_never_come(covering(MIDDLE)))):
            with self.subTest(name):
                run = self.run_install(rule)
                self.assertIn(rule.action, [r.answer for r in run.requests])
                self.assert_installed(run)
                self.assertLess(run.seconds, 10)

    def test_game_starts_at_once_and_nothing_past_the_last_needed_byte_is_asked_for(self):
        # The last entry is a working file's name, passed over: its 3 MB lie
        # after the last entry the extraction writes, so no window reaches
        # them, and an answer that stops where the batch file's data ends
        # costs nothing.
        archive = os.path.join(self.work, "trailing-entry.zip")
        write_archive(archive, dict(self.files, **{"ZEM/update-download.zip": random.Random(2).randbytes(3_000_000)}))
        spans = entry_spans(archive)
        last_needed = max(end for name, _first, end in spans if name != "ZEM/update-download.zip")
        trailing_end = [end for name, _first, end in spans if name == "ZEM/update-download.zip"][0]
        run = self.run_install(silent_from(last_needed), archive=archive)
        self.assert_installed(run, messages=0)
        self.assertFalse([r for r in run.requests if r.answer == "silent from offset"], run.requests)
        self.assertFalse([r for r in run.requests if r.first is not None and r.first < trailing_end - 1 and
                          (r.last is None or r.last >= last_needed)], run.requests)

    def test_size_probe_answered_200_while_the_first_window_is_206_installs(self):
        run = self.run_install(whole_file(probe, times=1))
        self.assertIn("whole file", [r.answer for r in run.requests])
        self.assert_installed(run, messages=0)

    def test_server_ignoring_range_fails_the_probe_after_six_attempts(self):
        run = self.run_install(whole_file(every))
        self.assertEqual((self.console(BANNER + LOST * 5 + UNREADABLE), 1), (run.output, run.code))
        # Six probes and the first window.
        self.assertEqual(6, len([r for r in run.requests if probe(r)]), run.requests)
        self.assertLessEqual(len([r for r in run.requests if not probe(r)]), 1, run.requests)

    def test_probe_window_and_second_probe_answered_200_install(self):
        # A cache passing the first requests to an origin that ignores
        # ranges, until it has the archive itself.
        run = self.run_install(whole_file(every, times=3))
        self.assertEqual(3, [r.answer for r in run.requests].count("whole file"), run.requests)
        self.assert_installed(run, messages=2)

    def test_probe_whose_connection_is_dropped_is_tried_again(self):
        # A resumed installation: the probe is its first request.
        run = self.run_install(hang_up(every), resumed=True)
        self.assertEqual("hang up", run.requests[0].answer, run.requests)
        self.assert_installed(run, messages=0)


class InstallerFaults(FaultScenarios, ServerTestCase):
    """The POSIX build. The answers it checks (another range, another
    archive) are checked by the same code in both builds: these run
    natively only."""

    with_nginx = False
    batch = b"echo Frolix Rewrite is running\n: > %s\nexit %d\n" % (GAME_STARTED.encode(), BATCH_EXIT_CODE)
    game_output = b"Frolix Rewrite is running\n"

    def put_programs(self, game):
        put_programs(game)

    def start_launcher(self, game, **env):
        return subprocess.Popen([os.path.join(game, "ZEM-Play.exe")], cwd=game, env=self.env(**env),
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def errors(self, stderr):
        return stderr

    def console(self, output):
        return output

    def test_206_for_another_range_is_fetched_again(self):
        central_directory = max(end for _name, _first, end in entry_spans(self.archive))
        for name, offset in (("a window of the extraction", MIDDLE),
                             ("the central directory's read", central_directory)):
            with self.subTest(name):
                run = self.run_install(another_range(covering(offset), shift=-4096))
                self.assertIn("another range", [r.answer for r in run.requests])
                self.assert_installed(run)

    def test_archive_replaced_on_the_server_mid_install_stops_without_mixing_the_two(self):
        # Archives of seven .pak files, about 46 MB: the window that holds
        # 36 MiB is asked for only after the reads have moved on from the
        # first window, four windows of 8 MiB before it, so after the
        # archive was opened.
        files = game_files(self.batch, pak_count=7)
        archive, other = os.path.join(self.work, "first.zip"), os.path.join(self.work, "other.zip")
        write_archive(archive, files)
        write_archive(other, game_files(self.batch, seed=2, pak_count=7, pak_size=6_600_000))
        self.assertNotEqual(os.path.getsize(archive), os.path.getsize(other))
        run = self.run_install(switch_file(covering(36 * MIB), other), archive=archive)
        # The entry that the first byte served from the other archive belongs to.
        switched_at = next(r.first for r in run.requests if r.size != os.path.getsize(archive))
        stopped_in = next(name for name, first, end in entry_spans(archive) if first <= switched_at < end)
        stopped = (LOST * 5 + b"\n  The download stopped at " + stopped_in.replace("/", "\\").encode() +
                   b". Tap the game again to carry on from here.\n")
        self.assertEqual(1, run.code)
        self.assertTrue(run.output.endswith(self.console(stopped)), run.output[-600:])
        # Before that, the normal output up to some piece's progress figure.
        shown = run.output[:-len(self.console(stopped))]
        self.assertTrue(run.normal_output.startswith(shown) and shown.endswith((b"   ", self.console(b"install.\n"))), shown)
        self.assertTrue(os.path.exists(os.path.join(run.game, "ZEM/install-incomplete")))
        # A stored entry that stopped short keeps its part file for the next
        # run: the first archive's bytes only, from the entry's start.
        for name, data in installed_game_files(run.game).items():
            if name.endswith(".zempart"):
                self.assertTrue(files[name[:-len(".zempart")]].startswith(data), name)
            else:
                self.assertEqual(files.get(name), data, name)


if __name__ == "__main__":
    unittest.main()
