"""Rooted releases end to end: programs built with a root key
(ZEM_ROOTED_BIN, root ZEM_ROOT_SIGNING_KEY) install and update releases
signed by a release key that the server's keys text delegates, across a
release key rotation and a chain of two root links, and refuse a retired
release key, a replayed older delegation, a retired root's keys, a
delegation by another root and a release without a keys text."""

import os
import shutil
import unittest

from zem_e2e import (BANNER as INSTALL_BANNER, GAME_EXE, ServerTestCase, folder_listing, make_temp_folder, read, remove_tree,
                     run_program, write)
from test_signed_releases import DOWNLOADED, INSTALL_NOT_SIGNED, game_files, publish, update_not_signed
from test_updater import BANNER as UPDATE_BANNER, GETTING

ROOTED_BIN = os.environ.get("ZEM_ROOTED_BIN", "")
ROOT_KEY = os.environ.get("ZEM_ROOT_SIGNING_KEY", "")
VERSION_FILE = "Frolix_Multiplayer/Content/version.txt"


def handed_to_launcher(version):
    return b"  This game missed some updates: it brings itself to version %s at its next start.\n" % version


class RootedScenarios:
    """For a server test case that provides put_rooted_programs(game),
    launch(game) -> (stdout, exit code), update(game) -> stdout and
    console(posix_output)."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.keys = make_temp_folder("zem-rooted-keys-")
        k = lambda name: os.path.join(cls.keys, name)
        for name in ("k1", "k2"):
            publish("keygen", k(name))
        for name in ("r1", "r2", "stranger"):
            publish("keygen", k(name), "--root")
        # R is the built-in root. keys-1: R delegates k1 (1); keys-2: k2 (2).
        publish("delegate", ROOT_KEY, "--release-key", k("k1.public"), "--number", "1", "--out", k("keys-1"))
        publish("delegate", ROOT_KEY, "--release-key", k("k2.public"), "--number", "2", "--keys", k("keys-1"),
                "--out", k("keys-2"))
        # chain-1: R -> r1, k1 again under r1; chain-2: then r1 -> r2, and
        # r2 delegates k2 (2).
        publish("rotate-root", ROOT_KEY, k("r1"), "--keys", k("keys-1"), "--out", k("chain-1"))
        publish("rotate-root", k("r1"), k("r2"), "--keys", k("chain-1"), "--out", k("chain-2a"))
        publish("delegate", k("r2"), "--release-key", k("k2.public"), "--number", "2", "--keys", k("chain-2a"),
                "--out", k("chain-2"))
        publish("delegate", k("stranger"), "--release-key", k("k1.public"), "--number", "1", "--out", k("stranger-1"))

    @classmethod
    def tearDownClass(cls):
        remove_tree(cls.keys)
        super().tearDownClass()

    def key(self, name):
        return os.path.join(self.keys, name)

    def setUp(self):
        super().setUp()
        self.put_rooted_programs(self.game)
        self.releases = make_temp_folder("zem-rooted-releases-")
        self.addCleanup(remove_tree, self.releases)

    def second_player(self):
        game = make_temp_folder("zem-rooted-game-")
        self.addCleanup(remove_tree, game)
        self.put_rooted_programs(game)
        return game

    def pack(self, version, key, keys, base=None):
        """A release of zem-publish, signed with release key `key` and
        carrying keys text `keys` (None: an old-style signed release); its
        OUT_DIR."""
        source = os.path.join(self.releases, "game-" + version)
        for name, data in game_files(version).items():
            write(os.path.join(source, name), data)
        out = os.path.join(self.releases, version)
        publish("pack", source, "--version", version, "--out", out, "--key", self.key(key),
                *(["--keys", self.key(keys)] if keys else []), *(["--base", base] if base else []))
        return out

    def serve_release(self, out):
        for name in os.listdir(os.path.join(self.docroot, "files")):
            os.remove(os.path.join(self.docroot, "files", name))
        for name in os.listdir(os.path.join(out, "files")):
            self.serve(name, os.path.join(out, "files", name))

    def installs(self, game):
        output, code = self.launch(game)
        self.assertEqual(0, code, output)
        self.assertIn(self.console(b"\n  Installed. Starting the game...\n"), output)
        self.assertIn(self.console(b"game started\n"), output)

    def updates_to(self, game, version):
        output = self.update(game)
        self.assertTrue(output.startswith(self.console(UPDATE_BANNER + GETTING + DOWNLOADED)), output)
        self.assertTrue(output.endswith(self.console(b"  Updated to version %s.\n" % version)), output)
        self.assertEqual(version, read(os.path.join(game, VERSION_FILE)))

    def refuses_update(self, game, installed):
        before = folder_listing(game)
        expected = UPDATE_BANNER + GETTING + DOWNLOADED + update_not_signed(installed)
        self.assertEqual(self.console(expected), self.update(game))
        self.assertEqual(before, folder_listing(game))

    def accepted_keys(self, game):
        return read(os.path.join(game, "ZEM", "keys-accepted")).decode()

    def test_release_key_rotated_players_on_any_earlier_release_update(self):
        lapsed = self.second_player()
        r10 = self.pack("1.0", "k1", "keys-1")
        self.serve_release(r10)
        self.installs(self.game)
        self.installs(lapsed)
        self.serve_release(self.pack("1.1", "k1", "keys-1", base=r10))
        self.updates_to(self.game, b"1.1")
        # k2 replaces k1: the player at 1.1 updates, the one at 1.0 comes
        # through the launcher, both on the new delegation's word.
        self.serve_release(self.pack("1.2", "k2", "keys-2", base=os.path.join(self.releases, "1.1")))
        self.updates_to(self.game, b"1.2")
        output = self.update(lapsed)
        self.assertTrue(output.endswith(self.console(handed_to_launcher(b"1.2"))), output)
        self.installs(lapsed)
        self.assertEqual(b"1.2", read(os.path.join(lapsed, VERSION_FILE)))
        for game in (self.game, lapsed):
            self.assertTrue(self.accepted_keys(game).endswith("\ndelegation-number 2\n"), self.accepted_keys(game))

    def test_a_retired_release_key_and_a_replayed_delegation_are_refused(self):
        r10 = self.pack("1.0", "k1", "keys-1")
        self.serve_release(r10)
        self.installs(self.game)
        self.serve_release(self.pack("1.1", "k2", "keys-2", base=r10))
        self.updates_to(self.game, b"1.1")
        # Whoever stole k1 signs 1.2: under the delegation in force, and with
        # the older delegation that still named k1.
        stolen = self.pack("1.2", "k1", "keys-1", base=os.path.join(self.releases, "1.1"))
        shutil.copyfile(self.key("keys-2"), os.path.join(stolen, "files", "frolix-rewrite.keys"))
        self.serve_release(stolen)
        self.refuses_update(self.game, b"1.1")
        shutil.copyfile(self.key("keys-1"), os.path.join(stolen, "files", "frolix-rewrite.keys"))
        self.serve_release(stolen)
        self.refuses_update(self.game, b"1.1")
        # The launcher remembers what the updater accepted.
        os.remove(os.path.join(self.game, GAME_EXE))
        output, code = self.launch(self.game)
        self.assertEqual((self.console(INSTALL_BANNER + INSTALL_NOT_SIGNED), 1), (output, code))

    def test_a_root_chain_of_two_links_walked_by_a_player_who_skipped_both(self):
        r10 = self.pack("1.0", "k1", "keys-1")
        self.serve_release(r10)
        self.installs(self.game)
        self.pack("1.1", "k1", "chain-1", base=r10)  # never fetched by this player
        self.serve_release(self.pack("1.2", "k2", "chain-2", base=r10))
        self.updates_to(self.game, b"1.2")
        r2 = read(self.key("r2.public")).decode().strip()
        self.assertEqual("ZEM keys accepted 1\nroot-key %s\nroot-number 2\ndelegation-number 2\n" % r2,
                         self.accepted_keys(self.game))
        # A fresh player walks both links in the launcher.
        fresh = self.second_player()
        self.installs(fresh)
        self.assertEqual(self.accepted_keys(self.game), self.accepted_keys(fresh))
        # The retired root's keys no longer count, though they delegate the
        # very key in use.
        self.serve_release(self.pack("1.3", "k2", "keys-2", base=os.path.join(self.releases, "1.2")))
        self.refuses_update(self.game, b"1.2")

    def test_a_delegation_by_another_root_or_none_is_refused(self):
        cases = {"delegation by another root": "stranger-1", "old-style release without a keys text": None}
        for case, keys in cases.items():
            with self.subTest(case):
                self.serve_release(self.pack("1.0", "k1", keys))
                before = set(folder_listing(self.game))
                output, code = self.launch(self.game)
                self.assertEqual((self.console(INSTALL_BANNER + INSTALL_NOT_SIGNED), 1), (output, code))
                self.assertEqual(before | {"ZEM/writer.lock"}, set(folder_listing(self.game)))
        r10 = self.pack("1.0", "k1", "keys-1")
        self.serve_release(r10)
        self.installs(self.game)
        self.serve_release(self.pack("1.1", "k1", "stranger-1", base=r10))
        self.refuses_update(self.game, b"1.0")


@unittest.skipUnless(ROOTED_BIN and ROOT_KEY, "needs ZEM_ROOTED_BIN and ZEM_ROOT_SIGNING_KEY (scripts/setup)")
class NativeRootedReleases(RootedScenarios, ServerTestCase):
    def put_rooted_programs(self, game):
        for name in ("ZEM-Play.exe", "ZEM-Update.exe"):
            shutil.copyfile(os.path.join(ROOTED_BIN, name), os.path.join(game, name))
            os.chmod(os.path.join(game, name), 0o755)

    def launch(self, game):
        return run_program(game, "ZEM-Play.exe", env=self.env())

    def update(self, game):
        output, code = run_program(game, "ZEM-Update.exe", env=self.env())
        self.assertEqual(0, code)
        return output

    def console(self, output):
        return output


if __name__ == "__main__":
    unittest.main()
