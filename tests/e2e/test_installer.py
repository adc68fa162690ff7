"""The full installation, end to end: the built ZEM-Play.exe installs a
game from real archives (Info-ZIP zip, Python's zipfile) served by nginx
over HTTPS, with range requests. Console output compared byte for byte."""

import os
import random
import re
import signal
import subprocess
import time
import unittest
import uuid
import warnings
import zipfile
import zlib

from zem_e2e import (BANNER, BIN, GAME_EXE, UNREACHABLE, ServerTestCase, folder_listing, make_temp_folder,
                     put_programs, read, remove_tree, run_program, write, zip_with_info_zip)

INSTALLED = b"\n  Installed. Starting the game...\n"
CANNOT_READ = b"  The game download couldn't be read. Tap the game again in a few minutes.\n"
BATCH = b"echo Frolix Rewrite is running\nexit 0\n"
GAME_OUTPUT = b"Frolix Rewrite is running\n"


def gb_line(needed):
    return b"  %.1f GB to install.\n" % (needed / 1e9)


# The zip library hands a stored entry over in pieces of 64 KiB, a deflated
# one in pieces of at most 32 KiB.
STORED_PIECE = 64 * 1024
DEFLATED_PIECE = 32 * 1024


def pieces(entry):
    """The sizes in which the zip library hands the entry's data over: a
    stored entry in 64 KiB pieces, a deflated one whole (the model covers
    deflated entries of at most 32 KiB only)."""
    if entry.compress_type == zipfile.ZIP_STORED:
        return [min(STORED_PIECE, entry.file_size - at) for at in range(0, entry.file_size, STORED_PIECE)]
    assert entry.file_size <= DEFLATED_PIECE, "the model covers small deflated entries only"
    return [entry.file_size] if entry.file_size else []


WAITING = b"ZEM: another window is installing or updating the game. Waiting for it to finish...\n"
# Some of the programs' own working files, which no entry may name.
WORKING_FILES = ("zem/update.sha256", "zem/install-incomplete", "zem/update-download.zip", "zem-play.exe.old")


def kept_parts(archive, game):
    """The bytes of each stored entry's part file that a resumed run keeps:
    as many as the last record of the entry's local path in the game's
    journal ("part SIZE CRC HEADER DATA KEPT KEPT_CRC PATH SEAL"), when the
    part file holds them."""
    journal = os.path.join(game, "ZEM", "install-journal")
    records = {}
    for line in (read(journal).decode().splitlines() if os.path.exists(journal) else []):
        fields = line.split(" ", 7)
        if fields[0] == "part":
            records[fields[7].rsplit(" ", 1)[0]] = int(fields[5])
    kept = {}
    for entry in zipfile.ZipFile(archive).infolist():
        count = records.get(entry.filename.replace("/", "\\"))
        part = os.path.join(game, entry.filename + ".zempart")
        if count is not None and os.path.exists(part) and os.path.getsize(part) >= count:
            kept[entry.filename] = count
    return kept


def expected_output(archive, game, own_name="ZEM-Play.exe"):
    """What an installation prints, given the files already in the game
    folder: one progress figure per piece the zip library hands over, when
    the figure changes; a stored entry's kept part file (kept_parts)
    counts as written and not as needed."""
    entries = zipfile.ZipFile(archive).infolist()
    kept = kept_parts(archive, game)

    def size_on_disk(name):
        path = os.path.join(game, name)
        return os.path.getsize(path) if os.path.exists(path) else None

    def meant(name):
        # The name as the installer judges it: leading "./" components dropped.
        while name.startswith("./"):
            name = name[2:]
        return name

    def refused(name):
        # The names these tests use that the installer passes over.
        name = meant(name)
        components = name.replace("\\", "/").split("/")
        return (".." in name or ":" in name or name.lower() in WORKING_FILES or
                any(c in ("", ".") or c.endswith((".", " ")) or re.fullmatch(r"[^.~]{1,6}~[0-9]+(\.[^.]{0,3})?", c)
                    for c in components))

    def complete(e, name=None):
        name = name or e.filename
        return (size_on_disk(name) == e.file_size and
                zlib.crc32(read(os.path.join(game, name))) == e.CRC)

    files = [e for e in entries if not e.is_dir()]
    total = sum(e.file_size for e in files)
    needed = sum(e.file_size - kept.get(e.filename, 0) for e in files
                 if refused(e.filename) or size_on_disk(e.filename) != e.file_size)
    out = BANNER + gb_line(needed)
    done, last = 0, -1
    for e in files:
        name = e.filename
        if refused(name):
            continue
        # The launcher's own entry is judged against the running file, and
        # written (to its delivered copy) when it differs.
        if complete(e, own_name if meant(name).lower() == own_name.lower() else None):
            done += e.file_size
            continue
        written = 0
        for piece in pieces(e):
            written += piece
            if written <= kept.get(name, 0):
                continue
            percentage = (done + written) * 100 // total
            if percentage != last:
                out += b"\r  Installing the game... %d%%   " % percentage
                last = percentage
        done += e.file_size
    return out + INSTALLED


def small_game(folder, count=40, seed=1, batch=BATCH):
    """A source tree of small files of mixed kinds, with the game
    executable and the batch file."""
    rng = random.Random(seed)
    write(os.path.join(folder, GAME_EXE), b"MZ" + bytes(rng.getrandbits(8) for _ in range(3000)))
    write(os.path.join(folder, "ZEM-Play.bat"), batch)
    write(os.path.join(folder, "Frolix_Multiplayer/Content/empty.txt"), b"")
    for i in range(count):
        kind = i % 3
        if kind == 0:
            data = bytes(rng.getrandbits(8) for _ in range(rng.randint(1, 30000)))
        elif kind == 1:
            data = ("line %d of a config file\n" % i).encode() * rng.randint(1, 900)
        else:
            data = bytes(rng.randint(1, 20000))
        write(os.path.join(folder, "Frolix_Multiplayer/Content/Sub%d/file%03d.dat" % (i % 4, i)), data)


def large_game(folder, pak_count=5, pak_size=7 * 1024 * 1024 + 12345):
    """A few incompressible .pak files spanning several 8 MiB windows."""
    rng = random.Random(7)
    write(os.path.join(folder, GAME_EXE), b"MZ" + os.urandom(1000))
    write(os.path.join(folder, "ZEM-Play.bat"), BATCH)
    for i in range(pak_count):
        write(os.path.join(folder, "Frolix_Multiplayer/Content/Paks/p%d.pak" % i), rng.randbytes(pak_size))
    write(os.path.join(folder, "Frolix_Multiplayer/Config/Game.ini"), b"[Game]\nQuality=High\n" * 500)


# Entry names in UTF-8, the zip's UTF-8 flag set (zipfile sets it for every
# name that is not ASCII); a folder entry among them.
UNICODE_FOLDER_ENTRY = "Frolix_Multiplayer/Content/\u00dcbung/"
UNICODE_ENTRIES = [
    ("Frolix_Multiplayer/Content/\u00dcbung/na\u00efve.txt", "na\u00efve\n".encode() * 100),
    ("Frolix_Multiplayer/Content/\u00dcbung/Stra\u00dfe/Gr\u00f6\u00dfe.ini", b"[Quality]\nHigh\n"),
    ("Frolix_Multiplayer/Content/\u65e5\u672c\u8a9e/\u30c6\u30b9\u30c8.dat", bytes(range(256)) * 40),
    ("Frolix_Multiplayer/Content/\u0395\u03bb\u03bb\u03b7\u03bd\u03b9\u03ba\u03ac.txt", b"alpha beta"),
]
UTF8_FLAG = 0x800


def unicode_archive(path, batch):
    """A game archive whose content entries have UTF-8 names: the game
    executable, the batch file, a folder entry and UNICODE_ENTRIES."""
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr(GAME_EXE, b"MZ" + bytes(3000))
        z.writestr("ZEM-Play.bat", batch)
        z.writestr(zipfile.ZipInfo(UNICODE_FOLDER_ENTRY), b"")
        for name, data in UNICODE_ENTRIES:
            z.writestr(name, data)
    with zipfile.ZipFile(path) as z:
        for info in z.infolist():
            assert info.filename.isascii() or info.flag_bits & UTF8_FLAG, info.filename


def listing_bytes(folder):
    """Every file and folder under folder as sorted relative paths in bytes,
    as the file system holds them."""
    found = []
    for root, dirs, files in os.walk(os.fsencode(folder)):
        for name in dirs + files:
            found.append(os.path.relpath(os.path.join(root, name), os.fsencode(folder)))
    return sorted(found)


def assert_unicode_entries_installed(test, game):
    """The files under their UTF-8 names with their content, and no other
    spelling of any folder or file next to them."""
    for name, data in UNICODE_ENTRIES:
        test.assertEqual(data, read(os.path.join(game, name)))
    content = os.path.join(game, "Frolix_Multiplayer", "Content")
    expected = set()
    for name, _data in UNICODE_ENTRIES:
        parts = name.split("/")[2:]
        for depth in range(1, len(parts) + 1):
            expected.add("/".join(parts[:depth]).encode())
    test.assertEqual(sorted(expected), listing_bytes(content))


def assert_windows_of_8_mib(test, requests, archive_size):
    """The requests of one installation: all answered 206, none over the
    8 MiB window, and about one per window of the archive plus the probe
    and the reads of the end records and central directory."""
    sent = [int(re.search(r'" (\d{3}) (\d+) ', line).group(2)) for line in requests]
    statuses = {re.search(r'" (\d{3}) ', line).group(1) for line in requests}
    test.assertEqual({"206"}, statuses)
    test.assertLessEqual(max(sent), 8 * 1024 * 1024)
    windows = -(-archive_size // (8 * 1024 * 1024))
    test.assertGreaterEqual(len(requests), windows + 1)
    test.assertLessEqual(len(requests), windows + 4)


def source_files(folder):
    return folder_listing(folder)


def installed_game_files(game):
    """The game folder's files, without the programs and state folder."""
    return {name: data for name, data in folder_listing(game).items()
            if not name.startswith("ZEM/") and name not in ("ZEM-Play.exe", "ZEM-Update.exe")}


def size_or_none(path):
    return os.path.getsize(path) if os.path.exists(path) else None


class InstallScenarios:
    """Installations that both builds run, the POSIX one natively and the
    Windows one under Wine, with the same expected console output (as the
    platform writes it). The test class provides: game, docroot, nginx,
    serve(), nginx_url(), and the hooks put_programs(game),
    launch(game, **env) -> (output, code), start_launcher(game, **env) ->
    Popen, console(output), shown_folder(game), game_batch(), game_output(),
    folder_batch(exit_code)."""

    def setUp(self):
        super().setUp()
        self.source = make_temp_folder("zem-src-")
        self.addCleanup(remove_tree, self.source)
        self.archives = make_temp_folder("zem-zip-")
        self.addCleanup(remove_tree, self.archives)
        self.archive = self.archive_path()
        self.put_programs(self.game)

    def archive_path(self, name="frolix-rewrite.zip"):
        return os.path.join(self.archives, name)

    def install(self, **env):
        """Starts the launcher in the test's game folder."""
        return self.launch(self.game, **env)

    def test_first_install_from_info_zip_archive(self):
        small_game(self.source, batch=self.game_batch())
        archive = self.archive_path()
        zip_with_info_zip(self.source, archive)
        self.serve("frolix-rewrite.zip", archive)
        expected = self.console(expected_output(archive, self.game)) + self.game_output()

        output, code = self.install()
        self.assertEqual(expected, output)
        self.assertEqual(0, code)
        self.assertEqual(source_files(self.source), installed_game_files(self.game))
        self.assertEqual(b"1", read(os.path.join(self.game, "ZEM/full-install")))
        self.assertFalse(os.path.exists(os.path.join(self.game, "ZEM/install-incomplete")))
        # Installed now: the next start runs the game at once, without the server.
        output, code = self.install(ZEM_INSTALL_URL="https://localhost:1/x.zip")
        self.assertEqual((self.game_output(), 0), (output, code))

    def test_install_from_python_zipfile_archive_with_deflate_and_stored_entries(self):
        small_game(self.source, count=20, seed=5, batch=self.game_batch())
        archive = self.archive_path()
        with zipfile.ZipFile(archive, "w") as z:
            for index, (name, data) in enumerate(sorted(source_files(self.source).items())):
                method = zipfile.ZIP_DEFLATED if index % 2 else zipfile.ZIP_STORED
                z.writestr(zipfile.ZipInfo(name), data, compress_type=method)
            z.writestr(zipfile.ZipInfo("Frolix_Multiplayer/Empty/"), b"")
        self.serve("frolix-rewrite.zip", archive)
        expected = self.console(expected_output(archive, self.game)) + self.game_output()
        output, code = self.install()
        self.assertEqual((expected, 0), (output, code))
        self.assertEqual(source_files(self.source), installed_game_files(self.game))
        self.assertFalse(os.path.exists(os.path.join(self.game, "Frolix_Multiplayer/Empty")))

    def test_entries_spelling_the_launcher_or_a_working_file_are_never_written(self):
        small_game(self.source, count=6, seed=7, batch=self.game_batch())
        archive = self.archive_path()
        hostile = ["./ZEM-Play.exe", "ZEM-Play.exe.", "ZEM-Play.exe ", "ZEM-PL~1.EXE", "ZEM/update.sha256",
                   "zem/Install-Incomplete", "ZEM-Play.exe.old"]
        with zipfile.ZipFile(archive, "w") as z:
            for name, data in sorted(source_files(self.source).items()):
                z.writestr(zipfile.ZipInfo(name), data, compress_type=zipfile.ZIP_DEFLATED)
            for name in hostile:
                z.writestr(zipfile.ZipInfo(name), b"not a program " * 100)
        self.serve("frolix-rewrite.zip", archive)
        launcher = read(os.path.join(self.game, "ZEM-Play.exe"))
        expected = self.console(expected_output(archive, self.game)) + self.game_output()
        output, code = self.install()
        self.assertEqual((expected, 0), (output, code))
        self.assertEqual(launcher, read(os.path.join(self.game, "ZEM-Play.exe")))
        # "./ZEM-Play.exe" is the launcher's own entry: it goes to the
        # delivered copy that the next start puts in place.
        installed = installed_game_files(self.game)
        self.assertEqual(b"not a program " * 100, installed.pop("ZEM-Play.exe.new"))
        self.assertEqual(source_files(self.source), installed)
        self.assertEqual(["full-install", "writer.lock"], sorted(os.listdir(os.path.join(self.game, "ZEM"))))

    def test_archive_of_dot_made_by_bsdtar_installs_byte_exact_the_launcher_as_its_delivered_copy(self):
        # Tools that archive "." name every entry "./..." ("./" itself too).
        small_game(self.source, count=9, seed=3, batch=self.game_batch())
        write(os.path.join(self.source, "ZEM-Play.exe"), b"an old launcher" * 100)
        subprocess.run(["bsdtar", "--format", "zip", "-cf", self.archive, "."], cwd=self.source, check=True)
        names = zipfile.ZipFile(self.archive).namelist()
        self.assertIn("./ZEM-Play.exe", names)
        self.assertTrue(all(name.startswith("./") for name in names), names)
        self.serve("frolix-rewrite.zip", self.archive)
        launcher = read(os.path.join(self.game, "ZEM-Play.exe"))
        expected = self.console(expected_output(self.archive, self.game)) + self.game_output()
        self.assertEqual((expected, 0), self.install())
        self.assertEqual(launcher, read(os.path.join(self.game, "ZEM-Play.exe")))
        wanted = source_files(self.source)
        wanted["ZEM-Play.exe.new"] = wanted.pop("ZEM-Play.exe")
        self.assertEqual(wanted, installed_game_files(self.game))

    def test_install_url_from_environment_and_empty_value_means_default(self):
        small_game(self.source, count=3, batch=self.game_batch())
        archive = self.archive_path()
        zip_with_info_zip(self.source, archive)
        self.serve("other-name.zip", archive)
        # The default URL names a file the server does not have.
        output, code = self.install(ZEM_INSTALL_URL="")
        self.assertEqual((self.console(BANNER + UNREACHABLE), 1), (output, code))
        output, code = self.install(ZEM_INSTALL_URL=self.nginx_url("files/other-name.zip"))
        self.assertEqual(0, code)
        self.assertTrue(output.endswith(self.console(INSTALLED) + self.game_output()))

    def test_complete_files_are_passed_over_and_zeros_of_the_right_size_rewritten(self):
        small_game(self.source, count=12, batch=self.game_batch())
        archive = self.archive_path()
        zip_with_info_zip(self.source, archive)
        self.serve("frolix-rewrite.zip", archive)
        # One complete file; one of the right size holding zeros, as a power
        # cut leaves data that never reached the disk; one of the wrong size;
        # a part file left from a killed run.
        name_complete = "Frolix_Multiplayer/Content/Sub0/file000.dat"
        name_same = "Frolix_Multiplayer/Content/Sub1/file001.dat"
        name_other = "Frolix_Multiplayer/Content/Sub2/file002.dat"
        write(os.path.join(self.game, name_complete), read(os.path.join(self.source, name_complete)))
        os.utime(os.path.join(self.game, name_complete), (1, 1))
        same_size = b"\0" * len(read(os.path.join(self.source, name_same)))
        write(os.path.join(self.game, name_same), same_size)
        write(os.path.join(self.game, name_other), b"short")
        write(os.path.join(self.game, name_other + ".zempart"), b"left over from a killed run" * 1000)
        write(os.path.join(self.game, "ZEM/install-incomplete"), b"")
        expected = self.console(expected_output(archive, self.game)) + self.game_output()
        output, code = self.install()
        self.assertEqual((expected, 0), (output, code))
        self.assertEqual(read(os.path.join(self.source, name_same)), read(os.path.join(self.game, name_same)))
        self.assertEqual(1, os.path.getmtime(os.path.join(self.game, name_complete)))  # passed over
        self.assertEqual(read(os.path.join(self.source, name_other)), read(os.path.join(self.game, name_other)))
        self.assertFalse(os.path.exists(os.path.join(self.game, name_other + ".zempart")))

    def test_everything_complete_with_marker_prints_zero_and_no_progress(self):
        small_game(self.source, count=4, batch=self.game_batch())
        archive = self.archive_path()
        zip_with_info_zip(self.source, archive)
        self.serve("frolix-rewrite.zip", archive)
        for name, data in source_files(self.source).items():
            write(os.path.join(self.game, name), data)
        write(os.path.join(self.game, "ZEM/install-incomplete"), b"")
        output, code = self.install()
        self.assertEqual((self.console(BANNER + gb_line(0) + INSTALLED) + self.game_output(), 0), (output, code))
        self.assertFalse(os.path.exists(os.path.join(self.game, "ZEM/install-incomplete")))

    def test_unsafe_names_are_never_written_and_progress_stays_below_100(self):
        small_game(self.source, count=3, batch=self.game_batch())
        archive = self.archive_path()
        zip_with_info_zip(self.source, archive)
        escape = "zem-escape-" + uuid.uuid4().hex
        unsafe = ["../" + escape, "/tmp/" + escape, "C:" + escape, "a..b", "\\" + escape]
        with zipfile.ZipFile(archive, "a") as z:
            for name in unsafe:
                z.writestr(zipfile.ZipInfo(name), b"must not be written" * 10)
        self.serve("frolix-rewrite.zip", archive)
        expected = self.console(expected_output(archive, self.game)) + self.game_output()
        self.assertNotIn(b"100%", expected)
        output, code = self.install()
        self.assertEqual((expected, 0), (output, code))
        self.assertFalse(os.path.exists(os.path.join(os.path.dirname(self.game), escape)))
        self.assertFalse(os.path.exists("/tmp/" + escape))
        self.assertEqual(source_files(self.source), installed_game_files(self.game))

    def test_entry_named_like_the_launcher_goes_to_its_delivered_copy_unless_it_holds_it(self):
        small_game(self.source, count=3, batch=self.game_batch())
        archive = self.archive_path()
        with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as z:
            # First in the archive, so the progress after the last written
            # entry shows whether it was counted.
            z.writestr("zem-play.EXE", b"an old launcher" * 100)
            for name, data in sorted(source_files(self.source).items()):
                z.writestr(name, data)
        self.serve("frolix-rewrite.zip", archive)
        image = read(os.path.join(self.game, "ZEM-Play.exe"))
        expected = self.console(expected_output(archive, self.game)) + self.game_output()
        self.assertIn(b"100%", expected)
        output, code = self.install()
        self.assertEqual((expected, 0), (output, code))
        self.assertFalse(os.path.exists(os.path.join(self.game, "zem-play.EXE")))
        self.assertEqual(image, read(os.path.join(self.game, "ZEM-Play.exe")))
        self.assertEqual(b"an old launcher" * 100, read(os.path.join(self.game, "ZEM-Play.exe.new")))

        # An archive whose launcher is the running one delivers no copy.
        os.remove(os.path.join(self.game, "ZEM-Play.exe.new"))
        write(os.path.join(self.game, "ZEM/install-incomplete"), b"")
        with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as z:
            z.writestr("ZEM-Play.exe", image)
            for name, data in sorted(source_files(self.source).items()):
                z.writestr(name, data)
        self.serve("frolix-rewrite.zip", archive)
        expected = self.console(expected_output(archive, self.game)) + self.game_output()
        self.assertEqual((expected, 0), self.install())
        self.assertFalse(os.path.exists(os.path.join(self.game, "ZEM-Play.exe.new")))

    def test_corrupted_entry_stops_with_its_name_and_leaves_no_part_file(self):
        small_game(self.source, count=6, batch=self.game_batch())
        archive = self.archive_path()
        zip_with_info_zip(self.source, archive, "-0")
        victim = "Frolix_Multiplayer/Content/Sub2/file002.dat"
        with zipfile.ZipFile(archive) as z:
            info = z.getinfo(victim)
        data = bytearray(read(archive))
        header = info.header_offset
        name_length = int.from_bytes(data[header + 26:header + 28], "little")
        extra_length = int.from_bytes(data[header + 28:header + 30], "little")
        data_offset = header + 30 + name_length + extra_length
        data[data_offset + 5] ^= 0xFF  # the CRC-32 no longer matches
        write(archive, bytes(data))
        self.serve("frolix-rewrite.zip", archive)
        output, code = self.install()
        self.assertEqual(1, code)
        local = victim.replace("/", "\\").encode()
        self.assertTrue(output.startswith(self.console(BANNER)))
        self.assertTrue(output.endswith(self.console(b"\n  The download stopped at " + local +
                                                     b". Tap the game again to carry on from here.\n")), output)
        self.assertFalse(os.path.exists(os.path.join(self.game, victim)))
        self.assertFalse(os.path.exists(os.path.join(self.game, victim + ".zempart")))
        self.assertTrue(os.path.exists(os.path.join(self.game, "ZEM/install-incomplete")))
        self.assertFalse(os.path.exists(os.path.join(self.game, "ZEM/full-install")))

    def test_files_are_put_in_place_one_at_a_time_per_name_and_a_failed_move_names_its_entry(self):
        # The Windows build finishes part files (flush, close, move) on
        # threads of their own while the next entries are written: a name
        # written twice must wait for its first part, and a move that fails
        # must still stop the installation at its own entry.
        folder = "Frolix_Multiplayer/Content/Data/"
        names = [folder + "item%03d.json" % i for i in range(40)]
        cases = [("one name written twice: the later entry is the file", "item020.json", None),
                 ("a folder in the way: the installation stops at that entry", None, "item020.json")]
        for what, twice, blocked in cases:
            with self.subTest(what):
                remove_tree(self.game)
                os.makedirs(self.game)
                self.put_programs(self.game)
                archive = self.archive_path()
                with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as z:
                    z.writestr("ZEM-Play.bat", self.game_batch())
                    for name in names:
                        z.writestr(name, name.encode() * 50)
                        if twice and name.endswith(twice):
                            with warnings.catch_warnings():
                                warnings.simplefilter("ignore")  # "Duplicate name"
                                z.writestr(name, b"the later one" * 50)
                self.serve("frolix-rewrite.zip", archive)
                if blocked:
                    write(os.path.join(self.game, folder, blocked, "inside.txt"), b"not the game's")
                output, code = self.install()
                data = os.path.join(self.game, folder)
                self.assertEqual([], [n for n in os.listdir(data) if n.endswith(".zempart")])
                if twice:
                    self.assertEqual((0, b"the later one" * 50), (code, read(os.path.join(data, twice))), output)
                    continue
                self.assertEqual(1, code, output)
                local = (folder + blocked).replace("/", "\\").encode()
                self.assertTrue(output.endswith(self.console(b"\n  The download stopped at " + local +
                                                             b". Tap the game again to carry on from here.\n")), output)
                self.assertTrue(os.path.isdir(os.path.join(data, blocked)))
                self.assertTrue(os.path.exists(os.path.join(self.game, "ZEM/install-incomplete")))

    def test_entry_cut_short_stops_the_installation(self):
        archive = self.archive_path()
        payload = os.urandom(20000)
        with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as z:
            z.writestr("ZEM-Play.bat", self.game_batch())
            z.writestr("Frolix_Multiplayer/Content/cut.bin", payload)
        # Claim one byte more than the entry holds, in the local header and
        # the central directory: the data ends before the size is reached.
        data = bytearray(read(archive))
        with zipfile.ZipFile(archive) as z:
            info = z.getinfo("Frolix_Multiplayer/Content/cut.bin")
        local_size_at = info.header_offset + 22
        data[local_size_at:local_size_at + 4] = (len(payload) + 1).to_bytes(4, "little")
        central = data.rindex(b"PK\x01\x02")
        data[central + 24:central + 28] = (len(payload) + 1).to_bytes(4, "little")
        write(archive, bytes(data))
        self.serve("frolix-rewrite.zip", archive)
        output, code = self.install()
        self.assertEqual(1, code)
        self.assertTrue(output.endswith(self.console(b"\n  The download stopped at Frolix_Multiplayer\\Content\\cut.bin."
                                                     b" Tap the game again to carry on from here.\n")), output)
        self.assertFalse(os.path.exists(os.path.join(self.game, "Frolix_Multiplayer/Content/cut.bin")))

    def test_not_a_zip_archive_cannot_be_read_and_leaves_markers_alone(self):
        write(os.path.join(self.docroot, "files/frolix-rewrite.zip"), os.urandom(100000))
        output, code = self.install()
        self.assertEqual((self.console(BANNER + CANNOT_READ), 1), (output, code))
        self.assertEqual(["writer.lock"], os.listdir(os.path.join(self.game, "ZEM")))

    def test_unreachable_server_touches_nothing_and_never_runs_the_batch_file(self):
        # The batch file would print its line: the exact output shows it never ran.
        write(os.path.join(self.game, "ZEM-Play.bat"), self.game_batch())
        output, code = self.install(ZEM_INSTALL_URL="https://localhost:1/files/frolix-rewrite.zip")
        self.assertEqual((self.console(BANNER + UNREACHABLE), 1), (output, code))
        self.assertEqual(["writer.lock"], os.listdir(os.path.join(self.game, "ZEM")))

    def test_missing_archive_on_the_server_is_unreachable(self):
        output, code = self.install()
        self.assertEqual((self.console(BANNER + UNREACHABLE), 1), (output, code))

    def test_first_install_of_a_multi_window_archive_runs_the_batch_file_in_a_folder_with_blanks(self):
        game = os.path.join(self.game, "Frolix Rewrite game")
        os.makedirs(game)
        self.put_programs(game)
        large_game(self.source)
        write(os.path.join(self.source, "ZEM-Play.bat"), self.folder_batch(3))
        zip_with_info_zip(self.source, self.archive, "-n", ".pak")  # the .pak files stored, the rest deflated
        self.assertGreater(os.path.getsize(self.archive), 3 * 8 * 1024 * 1024)
        self.serve("frolix-rewrite.zip", self.archive)
        started_in = self.console(b"started in %s\n" % self.shown_folder(game).encode())
        expected = self.console(expected_output(self.archive, game)) + started_in
        before = len(self.nginx.requests())

        output, code = self.launch(game)
        self.assertEqual((expected, 3), (output, code))
        self.assertEqual(source_files(self.source), installed_game_files(game))
        assert_windows_of_8_mib(self, self.nginx.requests()[before:], os.path.getsize(self.archive))
        # Installed: the next start runs the game at once, without the server.
        self.assertEqual((started_in, 3), self.launch(game, ZEM_INSTALL_URL="https://localhost:1/x.zip"))

    def test_multi_window_install_killed_half_way_resumes(self):
        large_game(self.source)
        write(os.path.join(self.source, "ZEM-Play.bat"), self.game_batch())
        zip_with_info_zip(self.source, self.archive, "-0")
        self.serve("frolix-rewrite.zip", self.archive)
        process = self.start_launcher(self.game, ZEM_INSTALL_URL=self.nginx_url("slow/frolix-rewrite.zip"))
        paks = os.path.join(self.game, "Frolix_Multiplayer/Content/Paks")
        source_paks = os.path.join(self.source, "Frolix_Multiplayer/Content/Paks")

        def complete_paks():
            return [n for n in os.listdir(paks) if n.endswith(".pak")] if os.path.isdir(paks) else []

        def parts():
            return [n for n in os.listdir(paks) if n.endswith(".zempart")] if os.path.isdir(paks) else []

        def part_bytes():
            return sum(os.path.getsize(os.path.join(paks, n)) for n in parts())

        # Stop it while a third .pak is being written, past its first
        # records (one every MiB in the test build): the next run keeps them.
        # (The Windows build moves complete part files into place on threads
        # of their own: it is stopped once the one before is in place.)
        deadline = time.time() + 120
        while time.time() < deadline and not (len(complete_paks()) >= 2 and len(parts()) == 1 and
                                              part_bytes() > 2 * 1024 * 1024):
            time.sleep(0.01)
        process.send_signal(signal.SIGKILL)
        first_output = process.communicate()[0]
        left = parts()
        self.assertEqual(1, len(left), first_output)
        self.assertTrue(first_output.startswith(self.console(BANNER)), first_output[:300])
        self.assertTrue(os.path.exists(os.path.join(self.game, "ZEM/install-incomplete")))
        complete = complete_paks()
        self.assertGreaterEqual(len(complete), 2)
        for name in complete:
            self.assertEqual(read(os.path.join(source_paks, name)), read(os.path.join(paks, name)))

        # The second run passes over the complete files and writes the rest:
        # exactly what the model says for the files on disk now, its first
        # figure already counting the complete ones.
        expected = self.console(expected_output(self.archive, self.game)) + self.game_output()
        kept = kept_parts(self.archive, self.game)
        self.assertEqual(1, len(kept), left)
        missing = sum(len(data) - kept.get(name, 0) for name, data in source_files(self.source).items()
                      if len(data) != size_or_none(os.path.join(self.game, name)))
        self.assertTrue(expected.startswith(self.console(BANNER + gb_line(missing))))
        requests_before = len(self.nginx.requests())
        output, code = self.launch(self.game)
        self.assertEqual((expected, 0), (output, code))
        self.assertEqual(source_files(self.source), installed_game_files(self.game))
        self.assertFalse(os.path.exists(os.path.join(paks, left[0])))
        # About one request per 8 MiB window of what was missing, plus the
        # probe and the central directory.
        requests = len(self.nginx.requests()) - requests_before
        self.assertLessEqual(requests, 2 + missing // (8 * 1024 * 1024) + 2)

    def test_second_window_waits_for_the_first_and_then_finds_the_game_installed(self):
        large_game(self.source, pak_count=3)
        write(os.path.join(self.source, "ZEM-Play.bat"), self.game_batch())
        zip_with_info_zip(self.source, self.archive, "-0")
        self.serve("frolix-rewrite.zip", self.archive)
        url = self.nginx_url("slow/frolix-rewrite.zip")
        expected_first = self.console(expected_output(self.archive, self.game)) + self.game_output()
        first = self.start_launcher(self.game, ZEM_INSTALL_URL=url)
        # A double tap: the second window starts while the first installs.
        deadline = time.time() + 120
        while time.time() < deadline and not os.path.exists(os.path.join(self.game, "ZEM/install-incomplete")):
            time.sleep(0.01)
        second = self.start_launcher(self.game, ZEM_INSTALL_URL=url)
        first_output = first.communicate()[0]
        second_output = second.communicate()[0]
        self.assertEqual((expected_first, 0), (first_output, first.returncode))
        self.assertEqual((self.console(WAITING) + self.game_output(), 0), (second_output, second.returncode))
        self.assertEqual(source_files(self.source), installed_game_files(self.game))

    def test_utf8_entry_names_are_installed_under_those_names_and_found_again(self):
        unicode_archive(self.archive, self.game_batch())
        self.serve("frolix-rewrite.zip", self.archive)
        expected = self.console(expected_output(self.archive, self.game)) + self.game_output()
        self.assertEqual((expected, 0), self.launch(self.game))
        assert_unicode_entries_installed(self, self.game)
        # With the installation marked unfinished, every file is found by its
        # name and size again: nothing is written, no progress shown.
        write(os.path.join(self.game, "ZEM/install-incomplete"), b"")
        expected = self.console(BANNER + gb_line(0) + INSTALLED) + self.game_output()
        self.assertEqual((expected, 0), self.launch(self.game))
        assert_unicode_entries_installed(self, self.game)


    def test_not_enough_free_space_refuses_with_figures_and_keeps_marker(self):
        # A game folder on a small tmpfs, so that the free-space check refuses.
        mount = make_temp_folder("zem-tmpfs-")
        self.addCleanup(remove_tree, mount)
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=280m", "tmpfs", mount],
                          stderr=subprocess.DEVNULL).returncode != 0:
            self.skipTest("cannot mount a tmpfs here")
        self.addCleanup(subprocess.run, ["umount", "-l", mount])
        self.put_programs(mount)
        write(os.path.join(self.source, "Frolix_Multiplayer/Content/big.pak"), b"\0" * (40 * 1000 * 1000))
        write(os.path.join(self.source, "ZEM-Play.bat"), self.game_batch())
        zip_with_info_zip(self.source, self.archive)
        self.serve("frolix-rewrite.zip", self.archive)
        output, code = self.launch(mount)
        stat = os.statvfs(mount)
        free = stat.f_bavail * stat.f_frsize
        needed = 40 * 1000 * 1000 + len(self.game_batch())
        self.assertEqual((self.console(BANNER + b"  Not enough free space: this needs %.1f GB more and the device has"
                                       b" %.1f GB free.\n  Free up some space and tap the game again.\n"
                                       % (needed / 1e9, free / 1e9)), 1), (output, code))
        self.assertTrue(os.path.exists(os.path.join(mount, "ZEM/install-incomplete")))
        self.assertFalse(os.path.exists(os.path.join(mount, "Frolix_Multiplayer")))

    def test_game_folder_with_a_name_beyond_ascii_installs_and_starts(self):
        game = os.path.join(self.game, "Spiele \u00dcbersicht \u65e5\u672c")
        os.makedirs(game)
        self.put_programs(game)
        small_game(self.source, count=6)
        write(os.path.join(self.source, "ZEM-Play.bat"), self.game_batch())
        zip_with_info_zip(self.source, self.archive)
        self.serve("frolix-rewrite.zip", self.archive)
        expected = self.console(expected_output(self.archive, game)) + self.game_output()
        self.assertEqual((expected, 0), self.launch(game))
        self.assertEqual(source_files(self.source), installed_game_files(game))
        self.assertEqual((self.game_output(), 0), self.launch(game))

    def test_game_folder_of_140_cyrillic_letters_installs_and_starts(self):
        # 140 letters are 280 bytes in UTF-8 but 140 characters on Windows,
        # whose limit of 259 the launcher's own path keeps. Linux allows 255
        # bytes a name: two names of 70 letters.
        letters = "\u0424\u0440\u043e\u043b\u0438\u043a\u0441" * 10
        game = os.path.join(self.game, letters, letters)
        os.makedirs(game)
        self.put_programs(game)
        own_path = self.shown_folder(game) + "\\ZEM-Play.exe"
        self.assertLess(len(own_path), 260)
        self.assertGreaterEqual(len(own_path.encode()), 260)
        small_game(self.source, count=3, batch=self.game_batch())
        zip_with_info_zip(self.source, self.archive)
        self.serve("frolix-rewrite.zip", self.archive)
        expected = self.console(expected_output(self.archive, game)) + self.game_output()
        self.assertEqual((expected, 0), self.launch(game))
        self.assertEqual(source_files(self.source), installed_game_files(game))
        self.assertEqual((self.game_output(), 0), self.launch(game))


class Installation(InstallScenarios, ServerTestCase):
    # The hooks of InstallScenarios for the native build.
    def put_programs(self, game):
        put_programs(game)

    def launch(self, game, **env):
        return run_program(game, "ZEM-Play.exe", env=self.env(**env))

    def start_launcher(self, game, **env):
        return subprocess.Popen([os.path.join(game, "ZEM-Play.exe")], cwd=game, env=self.env(**env),
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)

    def console(self, output):
        return output

    def shown_folder(self, game):
        return game

    def game_batch(self):
        return BATCH

    def game_output(self):
        return GAME_OUTPUT

    def folder_batch(self, exit_code):
        return b"echo started in $(pwd)\nexit %d\n" % exit_code

    # Native only: the syncfs that fails is POSIX's (the Windows build has
    # each file flushed as it is closed).
    def test_a_flush_that_fails_keeps_the_marker_and_writes_no_full_install(self):
        small_game(self.source, count=6, batch=self.game_batch())
        # More than a window: read through the 4 MB/s location, the entries
        # take seconds to arrive, and the write-back thread flushes (every
        # 500 ms) while they are written.
        write(os.path.join(self.source, "Frolix_Multiplayer/Content/Paks/big.pak"), random.Random(2).randbytes(10 << 20))
        zip_with_info_zip(self.source, self.archive, "-n", ".pak")
        self.serve("frolix-rewrite.zip", self.archive)
        shim = os.path.abspath(os.path.join(BIN, "libzem_failing_syncfs.so"))
        marker = os.path.join(self.game, "ZEM/install-incomplete")
        not_started = b"\n  Couldn't write ZEM\\install-incomplete.\n"
        not_marked = b"\n  Couldn't write ZEM\\full-install.\n"
        # The flush that fails, and the line the installation ends with.
        cases = [("main:1", "the marker's own flush", not_started),
                 ("other:1", "the write-back thread's, reported to it alone", not_marked),
                 ("main:2", "the flush before the marker goes", not_marked),
                 ("main:3", "the flush of the marker's deletion", not_marked)]
        for failing, what, last_line in cases:
            url = self.nginx_url(("slow/" if failing.startswith("other") else "files/") + "frolix-rewrite.zip")
            with self.subTest(what):
                remove_tree(self.game)
                os.makedirs(self.game)
                self.put_programs(self.game)
                env = dict(LD_PRELOAD=shim, ZEM_FAIL_SYNCFS=failing,
                           ZEM_INSTALL_URL=url,
                           ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0")
                output, code = self.launch(self.game, **env)
                self.assertEqual(1, code, output)
                self.assertTrue(output.startswith(BANNER), output)
                self.assertTrue(output.endswith(last_line), output)
                self.assertTrue(os.path.exists(marker))
                self.assertFalse(os.path.exists(os.path.join(self.game, "ZEM/full-install")))
                if last_line == not_started:
                    self.assertFalse(os.path.exists(os.path.join(self.game, "Frolix_Multiplayer")))
                # The next start checks every file again and finishes.
                expected = expected_output(self.archive, self.game) + self.game_output()
                self.assertEqual((expected, 0), self.launch(self.game))
                self.assertEqual(source_files(self.source), installed_game_files(self.game))

    # Native only: the zip64 records are read by the same code in both builds,
    # and under Wine the 66,000 file creations alone take two minutes.
    def test_zip64_archive_with_more_than_65535_entries(self):
        archive = self.archive_path()
        with zipfile.ZipFile(archive, "w", zipfile.ZIP_STORED) as z:
            z.writestr(GAME_EXE, b"MZ")
            z.writestr("ZEM-Play.bat", self.game_batch())
            for i in range(66000):
                z.writestr("Frolix_Multiplayer/Content/D%02d/f%05d" % (i % 50, i), b"%d" % i)
        with open(archive, "rb") as f:
            f.seek(-200000, os.SEEK_END)
            self.assertIn(b"PK\x06\x06", f.read())  # the zip64 end record
        self.serve("frolix-rewrite.zip", archive)
        expected = self.console(expected_output(archive, self.game)) + self.game_output()
        output, code = self.install()
        self.assertEqual((expected, 0), (output, code))
        self.assertEqual(b"65999", read(os.path.join(self.game, "Frolix_Multiplayer/Content/D49/f65999")))


if __name__ == "__main__":
    unittest.main()
