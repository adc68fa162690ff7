"""A release made by zem-publish pack, served by real servers on the test
build's loopback port: Apache httpd (HTTP/1.1 only, and HTTP/2), Caddy,
Apache Traffic Server caching in front of an nginx origin (cold and warm
cache), and nginx. Against each: zem-publish probe, a first install, an
install killed half way and resumed, and an update. nginx with ranges
turned off (max_ranges 0) must be flagged by probe."""

import json
import os
import random
import shutil
import signal
import subprocess
import time
import unittest

from zem_e2e import (BIN, GAME_EXE, PORT, Nginx, TestCA, folder_listing, make_server_folder, make_temp_folder,
                     put_programs, read, remove_tree, run_program, write)
from zem_servers import Apache, Caddy, TrafficServer, open_to_workers

PUBLISH = os.path.join(BIN, "zem-publish")
PAKS = "Frolix_Multiplayer/Content/Paks"
PAK_COUNT = 16
PAK_SIZE = 4 * 1024 * 1024
RESULTS = os.environ.get("ZEM_SERVER_MATRIX_OUT")  # optional: where to append the matrix as JSON lines


def publish(*args, env=None):
    completed = subprocess.run([PUBLISH, *args, "--quiet"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, timeout=600, env=env)
    return completed.stdout, completed.stderr, completed.returncode


def make_release_game(folder, marker):
    rng = random.Random(5)
    write(os.path.join(folder, "ZEM-Play.bat"), b"echo game started\nexit 0\n")
    write(os.path.join(folder, GAME_EXE), b"MZ" + rng.randbytes(20000))
    for i in range(PAK_COUNT):
        write(os.path.join(folder, PAKS, "pakchunk%02d.pak" % i), rng.randbytes(PAK_SIZE))
    write(os.path.join(folder, "Frolix_Multiplayer/Content/Data/items.json"), b'{"item": 1}\n' * 3000)
    write(os.path.join(folder, "Frolix_Multiplayer/Content/version.txt"), marker)
    if marker == b"1":
        write(os.path.join(folder, "Frolix_Multiplayer/Content/Movies/intro.bik"), b"retired in 2")
    shutil.copyfile(os.path.join(BIN, "ZEM-Play.exe"), os.path.join(folder, "ZEM-Play.exe"))
    shutil.copyfile(os.path.join(BIN, "ZEM-Update.exe"), os.path.join(folder, "ZEM-Update.exe"))


def game_files(game):
    """The installed game's files, without the programs' state."""
    files = folder_listing(game)
    for name in list(files):
        if name.startswith("ZEM" + os.sep):
            del files[name]
    return files


class ServerMatrix(unittest.TestCase):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        # The game trees and releases in work; what the servers read (the
        # CA's certificate, the docroot, each server's folder) in served.
        cls.work = make_temp_folder("zem-publish-servers-")
        cls.served = make_server_folder("zem-publish-served-")
        cls.ca = TestCA(cls.served)
        cls.env = dict(os.environ, SSL_CERT_FILE=cls.ca.ca_cert)
        cls.env.pop("ZEM_INSTALL_URL", None)
        cls.v1, cls.v2 = os.path.join(cls.work, "v1"), os.path.join(cls.work, "v2")
        make_release_game(cls.v1, b"1")
        make_release_game(cls.v2, b"2")
        cls.r1, cls.r2 = os.path.join(cls.work, "r1"), os.path.join(cls.work, "r2")
        for game, version, out, base in ((cls.v1, "1.0", cls.r1, []), (cls.v2, "2.0", cls.r2, ["--base", cls.v1])):
            _, err, code = publish("pack", game, "--version", version, "--out", out, *base)
            if code != 0:
                raise RuntimeError(err.decode())
        cls.docroot = os.path.join(cls.served, "docroot")
        os.makedirs(os.path.join(cls.docroot, "files"))

    @classmethod
    def tearDownClass(cls):
        remove_tree(cls.work)
        remove_tree(cls.served)

    def publish_release(self, release):
        files = os.path.join(self.docroot, "files")
        for name in ("frolix-rewrite.zip", "frolix-rewrite-update.zip", "release.json"):
            shutil.copyfile(os.path.join(release, "files", name), os.path.join(files, name + ".new"))
            os.chmod(os.path.join(files, name + ".new"), 0o644)
            os.replace(os.path.join(files, name + ".new"), os.path.join(files, name))
        open_to_workers(files)

    def server_folder(self, name):
        folder = os.path.join(self.served, name)
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        return folder

    def new_game(self):
        game = make_temp_folder("zem-publish-game-")
        self.addCleanup(remove_tree, game)
        put_programs(game)
        return game

    def probe(self, release):
        out, err, code = publish("probe", f"https://localhost:{PORT}", "--local", release, "--json", env=self.env)
        return json.loads(out), code

    def first_install(self):
        game = self.new_game()
        out, code = run_program(game, "ZEM-Play.exe", env=self.env)
        self.assertEqual(code, 0, out)
        self.assertTrue(out.endswith(b"\n  Installed. Starting the game...\ngame started\n"), out[-300:])
        self.assertEqual(game_files(game), folder_listing(self.v1))
        return game

    def install_killed_half_way(self):
        """A game folder whose installation was killed while a .pak was
        being written; None when the installation ended first."""
        game = self.new_game()
        paks = os.path.join(game, PAKS)
        process = subprocess.Popen([os.path.join(game, "ZEM-Play.exe")], cwd=game, env=self.env,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)

        def listing():
            return os.listdir(paks) if os.path.isdir(paks) else []

        deadline = time.time() + 120
        while time.time() < deadline and process.poll() is None:
            names = listing()
            if sum(n.endswith(".pak") for n in names) >= 2 and any(n.endswith(".zempart") for n in names):
                break
            time.sleep(0.001)
        process.send_signal(signal.SIGKILL)
        process.communicate()
        if not os.path.exists(os.path.join(game, "ZEM", "install-incomplete")):
            return None
        self.assertLess(sum(n.endswith(".pak") for n in listing()), PAK_COUNT)
        return game

    def killed_and_resumed_install(self):
        # On a loaded machine the installation may end before the poll sees
        # it half way: a few tries.
        for _ in range(3):
            game = self.install_killed_half_way()
            if game is not None:
                break
        self.assertIsNotNone(game, "the installation was never caught half way")
        out, code = run_program(game, "ZEM-Play.exe", env=self.env)
        self.assertEqual(code, 0, out)
        self.assertTrue(out.endswith(b"\n  Installed. Starting the game...\ngame started\n"), out[-300:])
        self.assertEqual(game_files(game), folder_listing(self.v1))

    def update(self, game):
        out, _ = run_program(game, "ZEM-Update.exe", env=self.env)
        self.assertTrue(out.endswith(b"  Updated to version 2.0.\n"), out)
        expected = folder_listing(self.v2)
        self.assertEqual(game_files(game), expected)

    def run_matrix(self, name, start_server, purge=None):
        """Probe, first install, killed and resumed install, update."""
        self.publish_release(self.r1)
        server = start_server(self.server_folder(name))
        try:
            report, code = self.probe(self.r1)
            self.assertEqual((report["findings"], code), ([], 0))
            game = self.first_install()
            self.killed_and_resumed_install()
            self.publish_release(self.r2)
            if purge:
                purge(server)
            report, code = self.probe(self.r2)
            self.assertEqual((report["findings"], code), ([], 0))
            self.update(game)
        finally:
            server.stop()
        if RESULTS:
            with open(RESULTS, "a") as f:
                f.write(json.dumps({"server": name, "passed": report["passed"]}) + "\n")
        return server

    def test_apache_http1(self):
        self.run_matrix("apache-h1", lambda folder: Apache(folder, self.docroot, self.ca, PORT, http2=False))

    def test_apache_http2(self):
        self.run_matrix("apache-h2", lambda folder: Apache(folder, self.docroot, self.ca, PORT, http2=True))

    def test_caddy(self):
        self.run_matrix("caddy", lambda folder: Caddy(folder, self.docroot, self.ca, PORT))

    def test_nginx(self):
        self.run_matrix("nginx", lambda folder: Nginx(folder, self.docroot, self.ca, port=PORT))

    def test_traffic_server_cold_then_warm_cache(self):
        def purge_urls():
            # What a publisher does on a CDN at a release: purge the three
            # URLs. 200: purged; 404: it was not in the cache.
            for name in ("frolix-rewrite.zip", "frolix-rewrite-update.zip", "release.json"):
                status = subprocess.run(["curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", "--cacert",
                                         self.ca.ca_cert, "-X", "PURGE", f"https://localhost:{PORT}/files/{name}"],
                                        stdout=subprocess.PIPE, check=True).stdout
                self.assertIn(status, (b"200", b"404"))

        self.publish_release(self.r1)
        server = TrafficServer(self.server_folder("ats"), self.docroot, self.ca, PORT)
        try:
            report, code = self.probe(self.r1)
            self.assertEqual((report["findings"], code), ([], 0))
            before = len(server.origin.requests())
            game = self.first_install()
            cold = len(server.origin.requests()) - before
            self.killed_and_resumed_install()
            # Warm: the same install again, its windows served from the cache.
            before = len(server.origin.requests())
            self.first_install()
            warm = len(server.origin.requests()) - before
            # A new release with the URLs purged: the cached ranges of the old
            # full archive are keyed by range too and stay. The probe sees it.
            self.publish_release(self.r2)
            purge_urls()
            report, code = self.probe(self.r2)
            self.assertEqual(code, 1)
            self.assertIn("archive-size-differs", {f["rule"] for f in report["findings"]})
        finally:
            server.stop()
        print(f"\ntrafficserver: origin requests of one install: cold cache {cold}, warm cache {warm}")
        self.assertLess(warm, cold, "the warm install did not come from the cache")
        # With the cache emptied, the new release probes clean and updates.
        server = TrafficServer(self.server_folder("ats"), self.docroot, self.ca, PORT)
        try:
            report, code = self.probe(self.r2)
            self.assertEqual((report["findings"], code), ([], 0))
            self.update(game)
        finally:
            server.stop()

    def test_probe_flags_a_server_without_ranges(self):
        self.publish_release(self.r1)
        server = Nginx(self.server_folder("nginx-no-ranges"), self.docroot, self.ca, port=PORT,
                       extra_config="max_ranges 0;")
        try:
            report, code = self.probe(self.r1)
            game = self.new_game()
            out, _ = run_program(game, "ZEM-Play.exe", env=self.env)
        finally:
            server.stop()
        self.assertEqual(code, 1)
        self.assertEqual(sorted({(f["entry"].split(" ")[0], f["rule"]) for f in report["findings"]}),
                         [("HTTP/1.1", "range-ignored"), ("HTTP/2", "range-ignored")])
        # What the probe says the installer does, it does.
        self.assertIn(b"The game download couldn't be read", out)


if __name__ == "__main__":
    unittest.main()
