"""zem-publish pack: deterministic archives, stored or deflated by
measurement, the update archive and removal list against a base release,
and a release made by pack installed by the built ZEM-Play.exe and updated
by ZEM-Update.exe through nginx over HTTPS."""

import io
import json
import os
import random
import shutil
import subprocess
import unittest
import zipfile

from zem_e2e import (BIN, GAME_EXE, ServerTestCase, folder_listing, make_temp_folder, put_programs, read,
                     remove_tree, run_program, write)

PUBLISH = os.path.join(BIN, "zem-publish")


def publish(*args):
    completed = subprocess.run([PUBLISH, *args, "--quiet"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, timeout=600)
    return completed.stdout, completed.stderr, completed.returncode


def make_game(folder, version_marker=b"1", extra=None):
    """A small game: compressible text, incompressible data (one file big
    enough to be judged by a sample), an empty file, a UTF-8 name, the
    batch file, the game executable and the two programs."""
    rng = random.Random(9)
    files = {
        "ZEM-Play.bat": b"echo game started\nexit 0\n",
        GAME_EXE: b"MZ" + rng.randbytes(50000),
        "Frolix_Multiplayer/Content/Data/items.json": b'{"sword": 1, "shield": 2}\n' * 4000,
        "Frolix_Multiplayer/Content/Paks/pakchunk0.pak": rng.randbytes(5 * 1024 * 1024 + 17),
        "Frolix_Multiplayer/Content/empty.txt": b"",
        "Frolix_Multiplayer/Content/Lokalisierung/Übersicht.txt": b"gr\xc3\xbc\xc3\x9fe " * 300,
        "Frolix_Multiplayer/Content/version.txt": version_marker,
    }
    files.update(extra or {})
    for name, data in files.items():
        if data is None:
            continue
        write(os.path.join(folder, name), data)
    shutil.copyfile(os.path.join(BIN, "ZEM-Play.exe"), os.path.join(folder, "ZEM-Play.exe"))
    shutil.copyfile(os.path.join(BIN, "ZEM-Update.exe"), os.path.join(folder, "ZEM-Update.exe"))
    return folder


def entries(archive):
    with zipfile.ZipFile(archive) as z:
        return [(i.filename, i.compress_type) for i in z.infolist()]


class Pack(unittest.TestCase):
    def setUp(self):
        self.work = make_temp_folder("zem-publish-pack-")
        self.addCleanup(remove_tree, self.work)

    def path(self, *parts):
        return os.path.join(self.work, *parts)

    def test_same_bytes_every_time_and_methods_by_measurement(self):
        game = make_game(self.path("game"))
        _, err, code = publish("pack", game, "--version", "1.0", "--out", self.path("a"))
        self.assertEqual(code, 0, err)
        _, err, code = publish("pack", game, "--version", "1.0", "--out", self.path("b"), "--threads", "1")
        self.assertEqual(code, 0, err)
        for name in ("frolix-rewrite.zip", "frolix-rewrite-update.zip", "release.json"):
            self.assertEqual(read(self.path("a", "files", name)), read(self.path("b", "files", name)), name)
        full = self.path("a", "files", "frolix-rewrite.zip")
        listed = dict(entries(full))
        self.assertEqual(listed["Frolix_Multiplayer/Content/Data/items.json"], zipfile.ZIP_DEFLATED)
        self.assertEqual(listed["Frolix_Multiplayer/Content/Paks/pakchunk0.pak"], zipfile.ZIP_STORED)
        self.assertEqual(listed[GAME_EXE], zipfile.ZIP_STORED)
        # The state entries come last; the rest in name order.
        names = [name for name, _ in entries(full)]
        self.assertEqual(names[-2:], ["ZEM/removed.txt", "ZEM/release.json"])
        self.assertEqual(names[:-2], sorted(names[:-2]))
        self.assertEqual(read(self.path("a", "files", "release.json")), b'{\n  "version": "1.0"\n}\n')
        # Info-ZIP reads it, and every file comes back as it was.
        subprocess.run(["unzip", "-q", full, "-d", self.path("unzipped")], check=True)
        unpacked = folder_listing(self.path("unzipped"))
        self.assertEqual(unpacked.pop(os.path.join("ZEM", "release.json")), b'{\n  "version": "1.0"\n}\n')
        self.assertEqual(unpacked.pop(os.path.join("ZEM", "removed.txt")), b"")
        self.assertEqual(unpacked, folder_listing(game))

    def test_update_against_a_base_folder_or_archive(self):
        v1 = make_game(self.path("v1"), extra={
            "Frolix_Multiplayer/Content/Movies/intro.bik": b"old movie",
            "Frolix_Multiplayer/Content/Paks/pakchunk9.pak": b"retired pak",
            "notes.txt": b"top-level file",
            "Frolix_Multiplayer/Content/Case.txt": b"same content",
        })
        v2 = make_game(self.path("v2"), version_marker=b"2", extra={
            "Frolix_Multiplayer/Content/case.txt": b"same content",
        })
        _, err, code = publish("pack", v1, "--version", "1.0", "--out", self.path("r1"))
        self.assertEqual(code, 0, err)
        results = []
        for base in (v1, self.path("r1", "files", "frolix-rewrite.zip"), self.path("r1")):
            out, err, code = publish("pack", v2, "--version", "2.0", "--base", base, "--out", self.path("r2"), "--json")
            self.assertEqual(code, 1, err)
            report = json.loads(out)
            results.append(read(self.path("r2", "files", "frolix-rewrite-update.zip")))
            self.assertEqual(sorted((f["entry"], f["rule"]) for f in report["findings"]), [
                ("Frolix_Multiplayer/Content/Case.txt", "renamed-in-case-only"),
                ("Frolix_Multiplayer/Content/Paks/pakchunk9.pak", "removal-not-expressible"),
                ("notes.txt", "removal-not-expressible"),
            ])
            self.assertEqual(report["removed_lines"], 1)
        # The base's version is recorded in the update (its folder v1 has
        # none to record), and the removal list is the same in all three.
        self.assertEqual(results[1], results[2])
        with zipfile.ZipFile(io.BytesIO(results[0])) as folder_based, zipfile.ZipFile(io.BytesIO(results[1])) as z:
            self.assertEqual(folder_based.read("ZEM/release.json"), b'{\n  "version": "2.0"\n}\n')
            self.assertEqual(z.read("ZEM/release.json"), b'{\n  "version": "2.0",\n  "base": "1.0"\n}\n')
            self.assertEqual(folder_based.read("ZEM/removed.txt"), z.read("ZEM/removed.txt"))
        update = self.path("r2", "files", "frolix-rewrite-update.zip")
        self.assertEqual([name for name, _ in entries(update)], [
            "Frolix_Multiplayer/Content/case.txt", "Frolix_Multiplayer/Content/version.txt",
            "ZEM/removed.txt", "ZEM/release.json"])
        with zipfile.ZipFile(update) as z:
            self.assertEqual(z.read("ZEM/removed.txt"), b"Frolix_Multiplayer/Content/Movies/intro.bik\r\n")
        _, _, code = publish("check", update, self.path("r2", "files", "frolix-rewrite.zip"))
        self.assertEqual(code, 0)

    def test_removal_list_carries_the_bases_lines_forward_but_never_a_file_brought_back(self):
        x, y = "Frolix_Multiplayer/Content/Old/x.txt", "Frolix_Multiplayer/Content/Old/y.txt"
        games = [make_game(self.path("v1"), b"1", {x: b"x", y: b"y"}), make_game(self.path("v2"), b"2"),
                 make_game(self.path("v3"), b"3", {x: b"x again"})]
        lists = []
        for number, game in enumerate(games, 1):
            base = ["--base", self.path("r%d" % (number - 1))] if number > 1 else []
            _, err, code = publish("pack", game, "--version", "%d.0" % number, "--out", self.path("r%d" % number), *base)
            self.assertEqual(code, 0, err)
            with zipfile.ZipFile(self.path("r%d" % number, "files", "frolix-rewrite-update.zip")) as z:
                lists.append(z.read("ZEM/removed.txt"))
        self.assertEqual([b"", (x + "\r\n" + y + "\r\n").encode(), (y + "\r\n").encode()], lists)

    def test_an_empty_folder_is_a_notice_and_a_finding_only_when_strict(self):
        game = make_game(self.path("game"))
        os.makedirs(os.path.join(game, "Frolix_Multiplayer", "Saved"))
        for strict, status in (((), 0), (("--strict",), 1)):
            with self.subTest(strict=strict):
                out, err, code = publish("pack", game, "--version", "1.0", "--out", self.path("out"), "--json", *strict)
                self.assertEqual(code, status, err)
                report = json.loads(out)
                flagged = [(f["entry"], f["rule"]) for f in report["notices" if not strict else "findings"]]
                self.assertEqual(flagged, [("Frolix_Multiplayer/Saved", "empty-folder-not-delivered")])
                self.assertEqual([], report["findings" if not strict else "notices"])
        out, _, code = publish("pack", game, "--version", "1.0", "--out", self.path("out"))
        self.assertEqual(0, code)
        self.assertIn(b"notice: " + game.encode() + b": Frolix_Multiplayer/Saved: an empty folder", out)

    def test_refuses_what_the_programs_cannot_install(self):
        cases = [
            ("Frolix_Multiplayer/Content/con.txt", b"con.txt: a name the programs pass over"),
            ("Frolix_Multiplayer/Content/a.zempart", b"a.zempart: a name the programs pass over"),
            ("Frolix_Multiplayer/Content/" + "n" * 240, b"longer than 259 bytes"),
        ]
        for name, message in cases:
            with self.subTest(name=name):
                game = make_game(self.path("bad"), extra={name: b"x"})
                out, err, code = publish("pack", game, "--version", "1", "--out", self.path("out"))
                self.assertEqual(code, 2)
                self.assertIn(message, err)
                self.assertFalse(os.path.exists(self.path("out", "files", "frolix-rewrite.zip")))
                remove_tree(self.path("bad"))
        game = make_game(self.path("latin"))
        with open(os.path.join(os.fsencode(game), b"Frolix_Multiplayer", b"caf\xe9.txt"), "wb") as f:
            f.write(b"x")
        _, err, code = publish("pack", game, "--version", "1", "--out", self.path("out"))
        self.assertEqual(code, 2)
        self.assertIn(b": not UTF-8", err)
        # OUT_DIR inside GAME_DIR: pack would pack its own output.
        game = make_game(self.path("nested"))
        _, err, code = publish("pack", game, "--version", "1", "--out", os.path.join(game, "Frolix_Multiplayer", "rel"))
        self.assertEqual(code, 2)
        self.assertIn(b"Frolix_Multiplayer/rel: this is OUT_DIR", err)
        game = make_game(self.path("linked"))
        os.symlink("/etc/passwd", self.path("linked", "Frolix_Multiplayer", "Content", "link.txt"))
        _, err, code = publish("pack", game, "--version", "1", "--out", self.path("out"))
        self.assertEqual(code, 2)
        self.assertIn(b"link.txt: a symbolic link", err)


class PackedReleaseInstallsAndUpdates(ServerTestCase):
    """A release made by pack, served by nginx: the launcher installs it,
    and the updater takes the next one made with --base."""

    def test_install_then_update(self):
        work = make_temp_folder("zem-publish-release-")
        self.addCleanup(remove_tree, work)
        v1 = make_game(os.path.join(work, "v1"), extra={"Frolix_Multiplayer/Content/Movies/intro.bik": b"old"})
        v2 = make_game(os.path.join(work, "v2"), version_marker=b"2")
        with open(os.path.join(v2, "ZEM-Update.exe"), "ab") as f:
            f.write(b"\0next release")
        for game, version, base in ((v1, "1.0", None), (v2, "2.0", v1)):
            args = ["pack", game, "--version", version, "--out", os.path.join(work, version)]
            _, err, code = publish(*args, *(["--base", base] if base else []))
            self.assertEqual(code, 0, err)

        def serve(version):
            for name in ("frolix-rewrite.zip", "frolix-rewrite-update.zip", "release.json"):
                self.serve(name, os.path.join(work, version, "files", name))

        serve("1.0")
        put_programs(self.game)
        out, code = run_program(self.game, "ZEM-Play.exe", env=self.env())
        self.assertEqual(code, 0, out)
        self.assertTrue(out.endswith(b"\n  Installed. Starting the game...\ngame started\n"), out)
        installed = folder_listing(self.game)
        self.assertEqual(installed.pop(os.path.join("ZEM", "full-install")), b"1")
        self.assertEqual(installed.pop(os.path.join("ZEM", "release.json")), b'{\n  "version": "1.0"\n}\n')
        self.assertEqual(installed.pop(os.path.join("ZEM", "removed.txt")), b"")
        installed.pop(os.path.join("ZEM", "writer.lock"), None)
        self.assertEqual(installed, folder_listing(v1))

        out, code = run_program(self.game, "ZEM-Update.exe", env=self.env())
        self.assertEqual(out, b"ZEM: checking for updates...\n  Version 1.0, up to date.\n")

        serve("2.0")
        out, code = run_program(self.game, "ZEM-Update.exe", env=self.env())
        self.assertTrue(out.endswith(b"  Updated to version 2.0.\n"), out)
        updated = folder_listing(self.game)
        self.assertEqual(updated.pop("ZEM-Update.exe.new"), read(os.path.join(v2, "ZEM-Update.exe")))
        for state in ("full-install", "writer.lock", "update.sha256", "release.json", "removed.txt"):
            updated.pop(os.path.join("ZEM", state), None)
        expected = folder_listing(v2)
        expected["ZEM-Update.exe"] = read(os.path.join(v1, "ZEM-Update.exe"))  # until the launcher's next start
        self.assertEqual(updated, expected)
        out, code = run_program(self.game, "ZEM-Update.exe", env=self.env())
        self.assertEqual(out, b"ZEM: checking for updates...\n  Version 2.0, up to date.\n")


if __name__ == "__main__":
    unittest.main()
