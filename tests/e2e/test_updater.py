"""The updater, end to end: the built ZEM-Update.exe in a temporary game
folder against nginx over HTTPS (or no server at all), with real archives
made by Info-ZIP zip and Python's zipfile. Console output is compared byte
for byte, and the state left on disk is checked after every ending."""

import hashlib
import os
import shutil
import subprocess
import time
import unittest
import zipfile

from test_installer import UNICODE_ENTRIES, UNICODE_FOLDER_ENTRY, UTF8_FLAG, assert_unicode_entries_installed
from zem_e2e import (BIN, GAME_EXE, PORT, ServerTestCase, folder_listing, make_game_folder, make_installed_game,
                     make_temp_folder, port_is_free, put_programs, read, remove_tree, write, zip_with_info_zip)

BANNER = b"ZEM: checking for updates...\n"
GETTING = b"  Getting the latest update...\n"
FAILED_INSTALL = b"  The update didn't finish installing; it tries again next time.\n"
CHUNK = 65536


def unreachable(version):
    return b"  Couldn't reach the ZEM site. Playing version %s.\n" % version


def up_to_date(version):
    return b"  Version %s, up to date.\n" % version


def not_downloaded(version):
    return b"  The update didn't download. Playing version %s; it tries again next time.\n" % version


def already_installed(version):
    return b"  Up to date (version %s).\n" % version


def updated(version):
    return b"  Updated to version %s.\n" % version


def removed(path):
    return b"  Removed old %s\n" % path


def downloading(size):
    """The percentage line of a download of size bytes, read in chunks of
    65,536 bytes, and its closing line feed."""
    out, received, last = b"", 0, None
    while received < size:
        received = min(size, received + CHUNK)
        percentage = received * 100 // size
        if percentage != last:
            out += b"\r  Downloading the update... %d%%" % percentage
            last = percentage
    return out + b"\n"


def installing(done, total, end=b""):
    return b"\r  Installing the update... %d / %d files%s" % (done, total, end)


def release_json(version):
    return ('{\n  "name": "Frolix Rewrite",\n  "version": "%s",\n  "notes": "x"\n}\n' % version).encode()


def sha256_of(path):
    return hashlib.sha256(read(path)).hexdigest()


ENTRY_TIME = (2024, 5, 1, 12, 0, 0)


def make_zip(path, entries):
    """An archive with exactly these entries in this order (Python's
    zipfile, deflated, every entry dated ENTRY_TIME); a name ending in '/'
    is a directory entry."""
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, data in entries:
            archive.writestr(zipfile.ZipInfo(name, ENTRY_TIME), data, zipfile.ZIP_DEFLATED)


def run_updater(game, env, args=()):
    """Runs game/ZEM-Update.exe in the game folder; nothing may ask, nothing
    may go to standard error, and the exit code is always 0."""
    completed = subprocess.run([os.path.join(game, "ZEM-Update.exe"), *args], cwd=game, env=env,
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               timeout=300)
    return completed.stdout, completed.stderr, completed.returncode


class UpdaterFolder:
    """A game folder with the programs, a folder for archives, and the
    server's files, for a test class that also derives from a server test
    case and provides put_programs(game) and update(args) -> stdout."""

    def setUp(self):
        super().setUp()
        self.put_programs(self.game)
        self.work_folder = make_temp_folder("zem-update-src-")
        self.addCleanup(remove_tree, self.work_folder)
        self.requests_before = len(self.nginx.requests())

    def path(self, name):
        return os.path.join(self.game, name)

    def publish(self, name, data):
        write(os.path.join(self.docroot, "files", name), data)

    def publish_release(self, version, archive=None):
        self.publish("release.json", release_json(version))
        if archive is not None:
            shutil.copyfile(archive, os.path.join(self.docroot, "files", "frolix-rewrite-update.zip"))

    def archive(self, entries, name="update.zip"):
        path = os.path.join(self.work_folder, name)
        make_zip(path, entries)
        return path

    def install_state(self, version=None, stored_hash=None, full_install=False):
        if version is not None:
            write(self.path("ZEM/release.json"), release_json(version))
        if stored_hash is not None:
            write(self.path("ZEM/update.sha256"), stored_hash)
        if full_install:
            write(self.path("ZEM/full-install"), b"1")

    def requested(self):
        """The request lines nginx logged during this test."""
        return [line.split('"')[1] for line in self.nginx.requests()[self.requests_before:]]

    def user_agents(self):
        return {line.split('"')[5] for line in self.nginx.requests()[self.requests_before:]}

    def assert_no_leftovers(self):
        self.assertFalse(os.path.exists(self.path("ZEM/release-check.json")))
        self.assertFalse(os.path.exists(self.path("ZEM/update-download.zip")))


class UpdaterCase(UpdaterFolder, ServerTestCase):
    """The native build against nginx."""

    def put_programs(self, game):
        put_programs(game)

    def update(self, args=()):
        stdout, stderr, code = run_updater(self.game, self.env(), args)
        self.assertEqual(b"", stderr)
        self.assertEqual(0, code)
        return stdout


class UpdateRuns:
    """Update runs that both builds make against nginx; see UpdateScenarios
    for the hooks."""

    def test_up_to_date_by_version_with_a_stored_hash(self):
        self.install_state("1.5", stored_hash=b"ab" * 32)
        self.publish_release("1.4", self.archive([("a.txt", b"never fetched")]))
        self.assertEqual(self.console(BANNER + up_to_date(b"1.5")), self.update())
        self.assert_no_leftovers()
        self.assertEqual(["GET /files/release.json " + self.http_version], self.requested())
        self.assertEqual({"ZEMUpdate/1.0"}, self.user_agents())
        self.assertFalse(os.path.exists(self.path("a.txt")))

    def test_full_install_marker_counts_and_an_empty_version_prints_empty(self):
        write(self.path("ZEM/full-install"), b"")  # empty counts as present
        self.publish_release("0")                  # same as no version at all
        self.assertEqual(self.console(BANNER + up_to_date(b"")), self.update())
        self.assertTrue(os.path.exists(self.path("ZEM/full-install")))
        self.assert_no_leftovers()

    def test_same_version_without_hash_or_marker_is_fetched_and_installed(self):
        payload = os.urandom(150000)  # deflate cannot shrink it: the archive spans several chunks
        archive = self.archive([("ZEM/release.json", release_json("2.0")),
                                ("Frolix_Multiplayer/Content/data.pak", payload)])
        self.install_state("2.0")
        self.publish_release("2.0", archive)
        expected = (BANNER + GETTING + downloading(os.path.getsize(archive)) + installing(0, 2)
                    + installing(2, 2, b"\n") + updated(b"2.0"))
        self.assertEqual(self.console(expected), self.update())
        self.assertEqual(payload, read(self.path("Frolix_Multiplayer/Content/data.pak")))
        self.assertEqual(sha256_of(archive).encode(), read(self.path("ZEM/update.sha256")))
        self.assert_no_leftovers()
        self.assertEqual(["GET /files/release.json " + self.http_version, "GET /files/frolix-rewrite-update.zip " + self.http_version],
                         self.requested())

        # The next run knows the installation by its stored hash.
        self.assertEqual(self.console(BANNER + up_to_date(b"2.0")), self.update())

    def test_archive_installed_before_is_recognised_by_an_upper_case_hash(self):
        archive = self.archive([("ZEM/release.json", release_json("1.1")), ("new.txt", b"new")])
        self.install_state("1.0", stored_hash=sha256_of(archive).upper().encode() + b"\r\n")
        self.publish_release("1.1", archive)
        expected = BANNER + GETTING + downloading(os.path.getsize(archive)) + already_installed(b"1.0")
        self.assertEqual(self.console(expected), self.update())
        self.assertFalse(os.path.exists(self.path("new.txt")))
        self.assertEqual(sha256_of(archive).upper().encode() + b"\r\n", read(self.path("ZEM/update.sha256")))
        self.assert_no_leftovers()

    def test_server_version_of_64_characters_counts_as_none(self):
        archive = self.archive([("new.txt", b"new")])
        self.install_state(None, stored_hash=sha256_of(archive).encode())
        self.publish_release("9" * 64, archive)
        expected = BANNER + GETTING + downloading(os.path.getsize(archive)) + already_installed(b"?")
        self.assertEqual(self.console(expected), self.update())

    def test_update_delivers_new_programs_a_new_hash_and_the_version_read_again(self):
        source = os.path.join(self.work_folder, "release")
        write(os.path.join(source, "ZEM-Play.exe"), b"new launcher")
        write(os.path.join(source, "ZEM-Update.exe"), b"new updater")
        write(os.path.join(source, "ZEM", "release.json"), release_json("3.0"))
        write(os.path.join(source, "Frolix_Multiplayer", "Content", "level.pak"), b"level 3")
        write(os.path.join(source, "bin", "ZEM-Play.exe"), b"not a program of ours")
        archive = os.path.join(self.work_folder, "update.zip")
        zip_with_info_zip(source, archive, "-D")  # Info-ZIP, no directory entries
        count = len(zipfile.ZipFile(archive).infolist())
        launcher, updater = read(self.path("ZEM-Play.exe")), read(self.path("ZEM-Update.exe"))
        self.install_state("2.0", stored_hash=b"0" * 64, full_install=True)
        self.publish_release("3.0", archive)

        expected = (BANNER + GETTING + downloading(os.path.getsize(archive)) + installing(0, count)
                    + installing(count, count, b"\n") + updated(b"3.0"))
        self.assertEqual(self.console(expected), self.update())
        self.assertEqual(b"new launcher", read(self.path("ZEM-Play.exe.new")))
        self.assertEqual(b"new updater", read(self.path("ZEM-Update.exe.new")))
        self.assertEqual(launcher, read(self.path("ZEM-Play.exe")))
        self.assertEqual(updater, read(self.path("ZEM-Update.exe")))
        self.assertEqual(b"not a program of ours", read(self.path("bin/ZEM-Play.exe")))
        self.assertEqual(b"level 3", read(self.path("Frolix_Multiplayer/Content/level.pak")))
        self.assertEqual(sha256_of(archive).encode(), read(self.path("ZEM/update.sha256")))
        self.assertFalse(os.path.exists(self.path("ZEM/full-install")))
        self.assert_no_leftovers()

    def test_update_without_a_release_description_names_the_version_it_started_with(self):
        archive = self.archive([("Frolix_Multiplayer/Content/x.pak", b"x")])
        self.install_state("2.0", full_install=True)
        self.publish_release("2.1", archive)
        expected = (BANNER + GETTING + downloading(os.path.getsize(archive)) + installing(0, 1)
                    + installing(1, 1, b"\n") + updated(b"2.0"))
        self.assertEqual(self.console(expected), self.update())

    def test_update_without_any_version_prints_it_empty(self):
        archive = self.archive([("x.txt", b"x")])
        self.publish_release("1.0", archive)
        expected = (BANNER + GETTING + downloading(os.path.getsize(archive)) + installing(0, 1)
                    + installing(1, 1, b"\n") + updated(b""))
        self.assertEqual(self.console(expected), self.update())

    def test_file_that_cannot_be_written_keeps_hash_marker_and_version_until_a_run_completes(self):
        entries = [("ZEM/release.json", release_json("4.0")), ("a.txt", b"a"),
                   ("Frolix_Multiplayer/Content/blocked.pak", b"new"), ("z.txt", b"z")]
        archive = self.archive(entries)
        os.makedirs(self.path("Frolix_Multiplayer/Content/blocked.pak"))  # a folder in its way
        self.install_state("3.0", stored_hash=b"1" * 64, full_install=True)
        self.publish_release("4.0", archive)
        expected = (BANNER + GETTING + downloading(os.path.getsize(archive)) + installing(0, 4)
                    + b"  Couldn't write Frolix_Multiplayer\\Content\\blocked.pak (is the game still running?)\n"
                    + installing(4, 4, b"\n") + FAILED_INSTALL)
        self.assertEqual(self.console(expected), self.update())
        self.assertEqual(b"a", read(self.path("a.txt")))
        self.assertFalse(os.path.exists(self.path("z.txt")))
        self.assertEqual(b"1" * 64, read(self.path("ZEM/update.sha256")))
        self.assertTrue(os.path.exists(self.path("ZEM/full-install")))
        # The release description is written last: the folder still says 3.0,
        # so the next run installs the update again and completes it.
        self.assertEqual(release_json("3.0"), read(self.path("ZEM/release.json")))
        self.assert_no_leftovers()
        os.rmdir(self.path("Frolix_Multiplayer/Content/blocked.pak"))
        self.assertEqual(self.console(BANNER + GETTING + downloading(os.path.getsize(archive)) + installing(0, 4)
                                      + installing(4, 4, b"\n") + updated(b"4.0")), self.update())
        self.assertEqual(b"new", read(self.path("Frolix_Multiplayer/Content/blocked.pak")))

    def test_immutable_file_cannot_be_written(self):
        # Permission bits do not stop root; an immutable file does.
        archive = self.archive([("locked.txt", b"new")])
        write(self.path("locked.txt"), b"old")
        if subprocess.run(["chattr", "+i", self.path("locked.txt")], stderr=subprocess.DEVNULL).returncode != 0:
            self.skipTest("this file system cannot make a file immutable")
        self.addCleanup(subprocess.run, ["chattr", "-i", self.path("locked.txt")])
        self.install_state("1.0", stored_hash=b"2" * 64)
        self.publish_release("1.1", archive)
        expected = (BANNER + GETTING + downloading(os.path.getsize(archive))
                    + b"  Couldn't write locked.txt (is the game still running?)\n"
                    + installing(0, 1) + installing(1, 1, b"\n") + FAILED_INSTALL)
        self.assertEqual(self.console(expected), self.update())
        self.assertEqual(b"old", read(self.path("locked.txt")))
        self.assertEqual(b"2" * 64, read(self.path("ZEM/update.sha256")))

    def test_missing_update_archive_is_a_failed_download(self):
        self.install_state("1.0", stored_hash=b"3" * 64)
        self.publish_release("1.1")  # no archive: nginx answers 404 with a Content-Length
        write(self.path("ZEM/update-download.zip"), b"left from an earlier run")
        self.assertEqual(self.console(BANNER + GETTING + b"\n" + not_downloaded(b"1.0")), self.update())
        self.assertEqual(b"3" * 64, read(self.path("ZEM/update.sha256")))
        self.assert_no_leftovers()

    def test_update_archive_that_is_no_zip_fails_to_install_silently(self):
        self.publish_release("1.1")
        page = b"<html>maintenance</html>"
        self.publish("frolix-rewrite-update.zip", page)
        self.install_state("1.0", full_install=True)
        expected = BANNER + GETTING + downloading(len(page)) + FAILED_INSTALL
        self.assertEqual(self.console(expected), self.update())
        self.assertTrue(os.path.exists(self.path("ZEM/full-install")))
        self.assertFalse(os.path.exists(self.path("ZEM/update.sha256")))
        self.assert_no_leftovers()

    def test_missing_release_description_cannot_reach_the_site(self):
        self.install_state("1.3")
        write(self.path("ZEM/release-check.json"), release_json("9.9"))
        self.assertEqual(self.console(BANNER + unreachable(b"1.3")), self.update())
        # The server answered, so the file of an earlier run is gone.
        self.assert_no_leftovers()

    def test_licence_notice_touches_nothing(self):
        before = folder_listing(self.game)
        output = self.update(["--licenses", "ignored"])
        self.assertTrue(output.startswith(self.console(b"miniz 3.1.1\nhttps://github.com/richgel999/miniz\n")), output)
        self.assertIn(self.console(b"Copyright 2013-2014 RAD Game Tools and Valve Software\n"), output)
        self.assertIn(self.console(b"Copyright 2010-2014 Rich Geldreich and Tenacious Software LLC\n"), output)
        self.assertIn(self.console(b"Permission is hereby granted, free of charge, to any person obtaining a copy\n"),
                      output)
        self.assertTrue(output.endswith(self.console(b"OTHER DEALINGS IN\nTHE SOFTWARE.\n")), output)
        self.assertNotIn(b"ZEM:", output)
        self.assertEqual(before, folder_listing(self.game))
        self.assertFalse(os.path.exists(self.path("ZEM")))
        self.assertEqual([], self.requested())

    def test_other_first_arguments_run_the_update(self):
        self.install_state("1.0", stored_hash=b"4" * 64)
        self.publish_release("1.0")
        for argument in ("--LICENSES", "-licenses", "--license"):
            self.assertEqual(self.console(BANNER + up_to_date(b"1.0")), self.update([argument]))


class UpdateScenarios(UpdateRuns):
    """Updates that both builds run, the POSIX one natively and the Windows
    one under Wine, with the same expected console output (as the platform
    writes it). The test class is an UpdaterFolder and provides the hooks
    console(output), launch() -> (output, code) of the launcher in the game
    folder, program_image(name) of the build under test, names_batch(names),
    a batch file that prints "<name> is there" for each of the names present
    and then "game started", assert_as_written_by_the_zip_library(path),
    assert_link_removed_as_a_link(link), and http_version, the protocol
    nginx logs for the build's requests."""

    def test_update_delivers_new_programs_the_launcher_puts_them_in_place_and_the_old_copy_goes(self):
        make_installed_game(self.game, self.names_batch(
            ["ZEM-Play.exe.new", "ZEM-Update.exe.new", "ZEM-Play.exe.old"]))
        # New builds of both programs: the built images with bytes appended
        # (an executable ignores data after its image), so they still run.
        old_launcher = read(self.path("ZEM-Play.exe"))
        new_launcher = self.program_image("ZEM-Play.exe") + b"release 2"
        new_updater = self.program_image("ZEM-Update.exe") + b"release 2"
        payload = os.urandom(3 * 1024 * 1024)  # a download of many chunks
        archive = self.archive([("ZEM-Play.exe", new_launcher), ("ZEM-Update.exe", new_updater),
                                ("ZEM/release.json", release_json("2.0")),
                                ("Frolix_Multiplayer/Content/level.pak", payload)])
        self.install_state("1.0", full_install=True)
        self.publish_release("2.0", archive)

        expected = (BANNER + GETTING + downloading(os.path.getsize(archive)) + installing(0, 4)
                    + installing(4, 4, b"\n") + updated(b"2.0"))
        self.assertEqual(self.console(expected), self.update())
        # The stored digest of the archive is the one sha256sum computes.
        sha256sum = subprocess.run(["sha256sum", archive], check=True, stdout=subprocess.PIPE).stdout.split()[0]
        self.assertEqual(sha256sum, read(self.path("ZEM/update.sha256")))
        self.assertEqual(new_launcher, read(self.path("ZEM-Play.exe.new")))
        self.assertEqual(new_updater, read(self.path("ZEM-Update.exe.new")))
        self.assertEqual(old_launcher, read(self.path("ZEM-Play.exe")))
        self.assertEqual(payload, read(self.path("Frolix_Multiplayer/Content/level.pak")))
        self.assert_as_written_by_the_zip_library(self.path("ZEM-Play.exe.new"))

        # The next start moves the running launcher aside and both delivered
        # copies into place before it runs the batch file, which sees the
        # running launcher's file under its ".old" name.
        self.assertEqual((self.console(b"ZEM-Play.exe.old is there\ngame started\n"), 0), self.launch())
        self.assertEqual(new_launcher, read(self.path("ZEM-Play.exe")))
        self.assertEqual(new_updater, read(self.path("ZEM-Update.exe")))
        self.assertEqual(old_launcher, read(self.path("ZEM-Play.exe.old")))
        self.assertFalse(os.path.exists(self.path("ZEM-Play.exe.new")))
        self.assertFalse(os.path.exists(self.path("ZEM-Update.exe.new")))

        # The start after it, by the delivered launcher, deletes the old copy.
        self.assertEqual((self.console(b"game started\n"), 0), self.launch())
        self.assertFalse(os.path.exists(self.path("ZEM-Play.exe.old")))
        self.assertEqual(new_launcher, read(self.path("ZEM-Play.exe")))

        # The delivered updater runs and knows the installation.
        self.assertEqual(self.console(BANNER + up_to_date(b"2.0")), self.update())

    def test_removal_list_applied_before_the_server_is_asked_and_again_after_the_update(self):
        old = self.path("Frolix_Multiplayer/Content/Old")
        write(os.path.join(old, "intro.bk2"), b"old movie")
        write(os.path.join(old, "Sub", "readonly.bin"), b"read-only")
        os.chmod(os.path.join(old, "Sub", "readonly.bin"), 0o444)  # the read-only attribute on Windows
        os.chmod(os.path.join(old, "intro.bk2"), 0o444)
        write(self.path("Frolix_Multiplayer/Content/Retired/r.pak"), b"retired by the new release")
        write(self.path("Frolix_Multiplayer/Saved/save.sav"), b"the player's")
        write(self.path("Frolix_Multiplayer/Content/old.pak"), b"old")
        write(self.path("Frolix_Multiplayer/Content/locked.pak"), b"listed, but read-only")
        os.chmod(self.path("Frolix_Multiplayer/Content/locked.pak"), 0o444)
        write(self.path("ZEM/removed.txt"), b"# retired in 2.0\r\nFrolix_Multiplayer/Content/Old/\r\n"
                                            b"Frolix_Multiplayer/Saved/\r\n")

        new_list = (b"Frolix_Multiplayer/Content/Old/\n"
                    b"Frolix_Multiplayer\\Content\\Retired\\\n"
                    b"  Frolix_Multiplayer/Content/old.pak  \n"
                    b"Frolix_Multiplayer/Content/locked.pak\n")
        archive = self.archive([("ZEM/release.json", release_json("3.0")), ("ZEM/removed.txt", new_list)])
        self.install_state("2.0", stored_hash=b"5" * 64)
        self.publish_release("3.0", archive)

        expected = (BANNER + removed(b"Frolix_Multiplayer\\Content\\Old") + GETTING
                    + downloading(os.path.getsize(archive)) + installing(0, 2) + installing(2, 2, b"\n")
                    + removed(b"Frolix_Multiplayer\\Content\\Retired") + updated(b"3.0"))
        self.assertEqual(self.console(expected), self.update())
        # A listed folder goes with its read-only files; a listed read-only
        # file is deleted the plain way only, so it stays.
        self.assertFalse(os.path.exists(old))
        self.assertFalse(os.path.exists(self.path("Frolix_Multiplayer/Content/Retired")))
        self.assertFalse(os.path.exists(self.path("Frolix_Multiplayer/Content/old.pak")))
        self.assertEqual(b"listed, but read-only", read(self.path("Frolix_Multiplayer/Content/locked.pak")))
        self.assertEqual(b"the player's", read(self.path("Frolix_Multiplayer/Saved/save.sav")))
        self.assertEqual(new_list, read(self.path("ZEM/removed.txt")))  # never changed

        # The list stays and is applied at every run; nothing is left to delete.
        self.assertEqual(self.console(BANNER + up_to_date(b"3.0")), self.update())

    def test_hostile_lines_and_entries_spare_saves_paks_programs_and_working_files(self):
        keep = {"Frolix_Multiplayer/Saved/SaveGames/slot1.sav": b"the player's",
                "Frolix_Multiplayer/Content/Paks/game.pak": b"the game",
                "Frolix_Multiplayer/Binaries/Win64/game.exe": b"MZ"}
        for name, data in keep.items():
            write(self.path(name), data)
        write(self.path("Frolix_Multiplayer/Content/Old/a.bin"), b"retired")
        # Windows would read these as the whole game folder, a path two deep,
        # the save games and the paks.
        write(self.path("ZEM/removed.txt"), b"Frolix_Multiplayer/././\n"
                                            b"Frolix_Multiplayer/./Binaries/\n"
                                            b"Frolix_Multiplayer/Saved./SaveGames/\n"
                                            b"Frolix_Multiplayer/Content/Paks./\n"
                                            b"Frolix_Multiplayer/Content/Old/\n")
        updater = read(self.path("ZEM-Update.exe"))
        archive = self.archive([("ZEM/release.json", release_json("3.0")),
                                ("ZEM/update-download.zip", b"cut the archive being read"),
                                ("ZEM/update.sha256", b"f" * 64),
                                ("ZEM/install-incomplete", b""),
                                ("./ZEM-Update.exe", b"not the updater"),
                                ("Frolix_Multiplayer/Content/new.txt", b"new")])
        self.install_state("2.0", stored_hash=b"5" * 64)
        self.publish_release("3.0", archive)
        expected = (BANNER + removed(b"Frolix_Multiplayer\\Content\\Old") + GETTING
                    + downloading(os.path.getsize(archive)) + installing(0, 6) + installing(6, 6, b"\n")
                    + updated(b"3.0"))
        self.assertEqual(self.console(expected), self.update())
        for name, data in keep.items():
            self.assertEqual(data, read(self.path(name)))
        self.assertEqual(b"new", read(self.path("Frolix_Multiplayer/Content/new.txt")))
        self.assertEqual(sha256_of(archive).encode(), read(self.path("ZEM/update.sha256")))
        self.assertFalse(os.path.exists(self.path("ZEM/install-incomplete")))
        # "./ZEM-Update.exe" names the updater: delivered beside it, as a
        # plain "ZEM-Update.exe" entry is, never over the running one.
        self.assertEqual(updater, read(self.path("ZEM-Update.exe")))
        self.assertEqual(b"not the updater", read(self.path("ZEM-Update.exe.new")))
        os.remove(self.path("ZEM-Update.exe.new"))
        self.assert_no_leftovers()

    def test_link_in_a_removed_folder_never_leads_the_removal_outside(self):
        outside = make_temp_folder("zem-outside-")
        self.addCleanup(remove_tree, outside)
        write(os.path.join(outside, "keep", "treasure.txt"), b"not the game's")
        os.chmod(os.path.join(outside, "keep", "treasure.txt"), 0o444)
        old = self.path("Frolix_Multiplayer/Content/Old")
        write(os.path.join(old, "intro.bk2"), b"old movie")
        link = os.path.join(old, "Sub", "link")
        os.makedirs(os.path.dirname(link))
        os.symlink(os.path.join(outside, "keep"), link)
        write(self.path("ZEM/removed.txt"), b"Frolix_Multiplayer/Content/Old/\n")
        self.install_state("2.0")  # the server has no release description

        self.assertEqual(self.console(BANNER + removed(b"Frolix_Multiplayer\\Content\\Old") + unreachable(b"2.0")),
                         self.update())
        self.assertFalse(os.path.exists(os.path.join(old, "intro.bk2")))
        self.assert_link_removed_as_a_link(link)
        self.assertEqual(["treasure.txt"], os.listdir(os.path.join(outside, "keep")))
        self.assertEqual(b"not the game's", read(os.path.join(outside, "keep", "treasure.txt")))
        self.assertEqual(0o444, os.stat(os.path.join(outside, "keep", "treasure.txt")).st_mode & 0o777)

    def test_utf8_entry_names_are_written_under_those_names_with_their_times_and_removed_by_them(self):
        retired = self.path("Frolix_Multiplayer/Content/\u00c4ltere Dateien")
        write(os.path.join(retired, "\u00fcber.txt"), b"old")
        write(os.path.join(retired, "\u65e5\u672c", "\u30c6\u30b9\u30c8.dat"), b"old")
        os.chmod(os.path.join(retired, "\u00fcber.txt"), 0o444)
        removal_list = "Frolix_Multiplayer/Content/\u00c4ltere Dateien/\n".encode()
        entries = ([("ZEM/release.json", release_json("2.0")), ("ZEM/removed.txt", removal_list),
                    (UNICODE_FOLDER_ENTRY, b"")] + UNICODE_ENTRIES)
        archive = self.archive(entries)
        with zipfile.ZipFile(archive) as z:
            for info in z.infolist():
                self.assertTrue(info.filename.isascii() or info.flag_bits & UTF8_FLAG, info.filename)
        self.install_state("1.0", stored_hash=b"6" * 64)
        self.publish_release("2.0", archive)

        # The folder entry is passed over and not counted as written; the
        # progress line counts every entry.
        count = len(entries)
        expected = (BANNER + GETTING + downloading(os.path.getsize(archive)) + installing(0, count)
                    + installing(count, count, b"\n")
                    + removed("Frolix_Multiplayer\\Content\\\u00c4ltere Dateien".encode()) + updated(b"2.0"))
        self.assertEqual(self.console(expected), self.update())
        assert_unicode_entries_installed(self, self.game)
        self.assertFalse(os.path.exists(retired))
        # Every file carries its entry's time, whatever its name.
        entry_time = time.mktime(ENTRY_TIME + (0, 0, -1))
        for name, _data in UNICODE_ENTRIES:
            self.assertEqual(entry_time, os.stat(self.path(name)).st_mtime, name)


class UpdaterAgainstNginx(UpdateScenarios, UpdaterCase):
    """The shared scenarios with the native build."""

    http_version = "HTTP/2.0"  # libcurl takes nginx's offer of HTTP/2

    def console(self, output):
        return output

    def launch(self):
        completed = subprocess.run([self.path("ZEM-Play.exe")], cwd=self.game, env=self.env(),
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   timeout=120)
        return completed.stdout, completed.returncode

    def program_image(self, name):
        return read(os.path.join(BIN, name))

    def names_batch(self, names):
        return "".join('[ -e "%s" ] && echo "%s is there"\n' % (name, name) for name in names).encode() + \
            b"echo game started\nexit 0\n"

    def assert_as_written_by_the_zip_library(self, path):
        # miniz writes files without execute permission; moved into place
        # under their ".exe" names, the delivered copies get it and start.
        self.assertEqual(0, os.stat(path).st_mode & 0o111)

    def assert_link_removed_as_a_link(self, link):
        self.assertFalse(os.path.lexists(link))
        self.assertFalse(os.path.exists(self.path("Frolix_Multiplayer/Content/Old")))

    # Native only: the syncfs that fails is POSIX's.
    def test_a_flush_that_fails_stores_no_digest_and_keeps_the_old_version(self):
        archive = self.archive([("ZEM/release.json", release_json("2.0")), ("a.txt", b"a")])
        self.publish_release("2.0", archive)
        expected = (BANNER + GETTING + downloading(os.path.getsize(archive)) + installing(0, 2)
                    + installing(2, 2, b"\n") + FAILED_INSTALL)
        env = self.env(LD_PRELOAD=os.path.abspath(os.path.join(BIN, "libzem_failing_syncfs.so")),
                       ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0")
        # Before the release description is written: it keeps naming 1.0,
        # so the next run installs the update again. Before the digest is
        # stored: the files are not taken for this archive's.
        for failing, version in (("main:1", "1.0"), ("main:2", "2.0")):
            with self.subTest(failing):
                self.install_state("1.0", stored_hash=b"1" * 64, full_install=True)
                stdout, stderr, code = run_updater(self.game, dict(env, ZEM_FAIL_SYNCFS=failing))
                self.assertEqual((expected, b"", 0), (stdout, stderr, code))
                self.assertEqual(release_json(version), read(self.path("ZEM/release.json")))
                self.assertEqual(b"1" * 64, read(self.path("ZEM/update.sha256")))
                self.assertTrue(os.path.exists(self.path("ZEM/full-install")))
                self.assert_no_leftovers()


class UpdaterWithoutServer(unittest.TestCase):
    """Nothing listens on the server's port: the site cannot be reached."""

    def setUp(self):
        # Checked here, not when the module is imported: the Wine tests
        # import it while the native tests' nginx may be starting on PORT.
        if not port_is_free(PORT):
            self.skipTest(f"port {PORT} is in use")
        self.game = make_game_folder("zem-offline-")
        self.addCleanup(remove_tree, self.game)
        put_programs(self.game)

    def path(self, name):
        return os.path.join(self.game, name)

    def update(self):
        stdout, stderr, code = run_updater(self.game, dict(os.environ))
        self.assertEqual((b"", 0), (stderr, code))
        return stdout

    def test_without_an_installed_version_it_shows_a_question_mark(self):
        self.assertEqual(BANNER + unreachable(b"?"), self.update())
        self.assertTrue(os.path.isdir(self.path("ZEM")))
        self.assertEqual(["writer.lock"], os.listdir(self.path("ZEM")))

    def test_with_an_installed_version_the_removal_list_still_applies(self):
        write(self.path("ZEM/release.json"), release_json("1.2.3"))
        write(self.path("ZEM/release-check.json"), b"from an earlier run")
        write(self.path("Frolix_Multiplayer/Content/Old/a.bin"), b"a")
        write(self.path("ZEM/removed.txt"), b"Frolix_Multiplayer/Content/Old/\n")
        self.assertEqual(BANNER + removed(b"Frolix_Multiplayer\\Content\\Old") + unreachable(b"1.2.3"),
                         self.update())
        self.assertFalse(os.path.exists(self.path("Frolix_Multiplayer/Content/Old")))
        # The server never answered: a file of an earlier run is left alone.
        self.assertEqual(b"from an earlier run", read(self.path("ZEM/release-check.json")))

    def test_a_file_named_like_a_path_is_never_taken_for_that_path(self):
        # A POSIX file name may hold backslashes; joined into a '\'-path it
        # would spell a file outside the game folder.
        outside = make_temp_folder("zem-outside-")  # beside the game folder
        self.addCleanup(remove_tree, outside)
        write(os.path.join(outside, "keep.txt"), b"not the game's")
        odd_name = "..\\..\\..\\..\\%s\\keep.txt" % os.path.basename(outside)
        write(self.path("Frolix_Multiplayer/Content/Old/" + odd_name), b"odd")
        write(self.path("Frolix_Multiplayer/Content/Old/a.bin"), b"a")
        write(self.path("ZEM/removed.txt"), b"Frolix_Multiplayer/Content/Old/\n")
        self.assertEqual(BANNER + removed(b"Frolix_Multiplayer\\Content\\Old") + unreachable(b"?"), self.update())
        self.assertEqual(b"not the game's", read(os.path.join(outside, "keep.txt")))
        self.assertEqual([odd_name], os.listdir(self.path("Frolix_Multiplayer/Content/Old")))


if __name__ == "__main__":
    unittest.main()
