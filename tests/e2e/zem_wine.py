"""Support for the end-to-end tests of the Windows programs under Wine: a
throwaway Wine prefix that trusts the tests' own CA, nginx over HTTPS on
the port the Windows test build names, and the programs run by Wine with
their console output as a Windows console program writes it.

The Windows test build (ZEM_WIN_BIN, made by scripts/setup as
build-win-test/) is read for its server URL and its waits from its CMake
cache, so the tests always match the programs they run."""

import glob
import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest
import urllib.parse

from zem_e2e import Nginx, TestCA, make_server_folder, make_temp_folder, remove_tree

WIN_BIN = os.environ.get("ZEM_WIN_BIN", "")


def _cache_value(name):
    cache = os.path.join(os.path.dirname(os.path.abspath(WIN_BIN)), "CMakeCache.txt")
    with open(cache) as f:
        match = re.search(r"^%s:[A-Z]+=(.*)$" % re.escape(name), f.read(), re.MULTILINE)
    if match is None:
        raise RuntimeError(f"{name} is not in {cache}")
    return match.group(1)


if not WIN_BIN:
    raise RuntimeError("ZEM_WIN_BIN must name the bin folder of the Windows test build (scripts/setup makes "
                       "build-win-test/ and passes it to build-test/)")
WIN_SERVER_URL = _cache_value("ZEM_SERVER_URL")
WIN_PORT = urllib.parse.urlparse(WIN_SERVER_URL).port or 443
WIN_WAIT_DIVISOR = 1000 if _cache_value("ZEM_SHORT_WAITS") == "ON" else 1

# The Windows C library writes standard output in text mode: every "\n"
# the program prints arrives as "\r\n", and nothing else changes.


def crlf(posix_output):
    """What a Windows console program prints for the POSIX build's output."""
    return posix_output.replace(b"\n", b"\r\n")


def batch_file(*lines):
    """A batch file for Wine's cmd.exe: the lines, CRLF-ended, not echoed."""
    return b"@echo off\r\n" + b"".join(line.encode() + b"\r\n" for line in lines)


class WinePrefix:
    """A Wine prefix made for one test class in a temporary folder; close()
    ends every Wine process of the prefix."""

    def __init__(self, folder):
        self.path = os.path.join(folder, "wineprefix")
        # Debian's wineserver keeps its socket in a folder it makes in
        # TMPDIR and leaves behind: a short one of our own, removed with the
        # server.
        self.server_folder = tempfile.mkdtemp(prefix="zem-wineserver-")
        self.env = dict(os.environ, WINEPREFIX=self.path, WINEDEBUG="-all", TMPDIR=self.server_folder)
        # Wine's console programs need no display; make sure none is used.
        self.env.pop("DISPLAY", None)
        self.env.pop("WAYLAND_DISPLAY", None)
        self.guard = None
        started = time.monotonic()
        os.makedirs(self.path)
        try:
            self._start_server()
            subprocess.run(["wineboot", "--init"], env=self.env, check=True, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
        except BaseException:
            self.close()
            raise
        self.boot_seconds = time.monotonic() - started

    def _start_server(self):
        """Starts the prefix's wineserver, kept until close(): every program
        of the class then finds it running (a server that ends between two
        programs makes the next one fail now and then with "wine client
        error"). A guard process, in a session of its own, ends the server
        and every Wine process of the prefix when this process closes the
        guard's standard input: in close(), or by ending, however it ends."""
        self.guard = subprocess.Popen(["sh", "-c", 'read ignored; wineserver --kill; wineserver --wait; rm -rf -- "$1"',
                                       "zem-wine-guard", self.server_folder], env=self.env,
                                      stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                      start_new_session=True)
        subprocess.run(["wineserver", "--persistent"], env=self.env, check=True, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        deadline = time.monotonic() + 60
        while not glob.glob(os.path.join(self.server_folder, "wine-*", "server-*", "socket")):
            if time.monotonic() > deadline:
                raise RuntimeError("wineserver did not start")
            time.sleep(0.02)

    def windows_path(self, path):
        """The Windows form of a host path, as Wine maps it: the deepest
        folder on the path that is the root of one of the prefix's drives
        (the same folder, compared as Wine does; Z: is "/"), then the rest
        with backslashes. Worked out here rather than asked of winepath: a
        Wine program started only for this could fail now and then under
        load (see WINE_CLIENT_NOISE) and take a test down with it."""
        dosdevices = os.path.join(self.path, "dosdevices")
        drives = {}
        for name in os.listdir(dosdevices):
            if re.fullmatch(r"[a-z]:", name) and os.path.isdir(os.path.join(dosdevices, name)):
                root = os.stat(os.path.join(dosdevices, name))
                drives.setdefault((root.st_dev, root.st_ino), name.upper())
        folder, rest = os.path.abspath(path), []
        while True:
            # A path not made yet maps like winepath maps it: by the
            # folders on it that are there.
            here = os.stat(folder) if os.path.exists(folder) else None
            if here is not None and (here.st_dev, here.st_ino) in drives:
                return drives[(here.st_dev, here.st_ino)] + "\\" + "\\".join(reversed(rest))
            if folder == "/":
                raise RuntimeError(f"no drive of the Wine prefix holds {path}")
            folder, name = os.path.split(folder)
            rest.append(name)

    def trust(self, ca_cert):
        """Adds the test CA to the prefix's ROOT store (only this prefix)."""
        subprocess.run(["wine", os.path.join(WIN_BIN, "zem-trust-test-ca.exe"), self.windows_path(ca_cert)],
                       env=self.env, check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, timeout=120)

    def command(self, program, *args):
        return ["wine", program, *args]

    def close(self):
        """Ends every process of the prefix and waits for its server to go."""
        if self.guard is not None:
            self.guard.stdin.close()
            self.guard.wait(timeout=120)
        shutil.rmtree(self.server_folder, ignore_errors=True)


class WineTestCase(unittest.TestCase):
    """One Wine prefix, one test CA and one nginx (on the Windows test
    build's port) for the whole class; a fresh game folder and a fresh
    docroot for every test. A class that brings a server of its own sets
    with_nginx to False: then there are no nginx and no docroot."""

    with_nginx = True
    prefix = None
    nginx = None

    @classmethod
    def setUpClass(cls):
        cls.work = make_server_folder("zem-wine-")
        try:
            cls.prefix = WinePrefix(cls.work)
            cls.ca = TestCA(cls.work)
            cls.prefix.trust(cls.ca.ca_cert)
            if cls.with_nginx:
                cls.docroot = os.path.join(cls.work, "docroot")
                os.makedirs(os.path.join(cls.docroot, "files"))
                cls.nginx = Nginx(cls.work, cls.docroot, cls.ca, port=WIN_PORT)
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        if cls.nginx is not None:
            cls.nginx.stop()
        if cls.prefix is not None:
            cls.prefix.close()
        remove_tree(cls.work)

    def setUp(self):
        if self.nginx is not None:
            files = os.path.join(self.docroot, "files")
            shutil.rmtree(files)
            os.makedirs(files)
        self.game = make_temp_folder("zem-wine-game-")
        self.addCleanup(remove_tree, self.game)

    def serve(self, name, source):
        shutil.copyfile(source, os.path.join(self.docroot, "files", name))

    def nginx_url(self, path):
        return f"https://localhost:{self.nginx.port}/{path}"

    def env(self, **extra):
        env = dict(self.prefix.env)
        env.pop("ZEM_INSTALL_URL", None)
        env.update(extra)
        return env

    def run_windows(self, game, name, env=None, args=(), cwd=None, timeout=600):
        """Runs game/name under Wine in cwd (the game folder when None);
        returns (stdout, stderr, exit code). Standard input is closed:
        nothing may ask."""
        completed = subprocess.run(self.prefix.command(os.path.join(game, name), *args), cwd=cwd or game,
                                   env=env or self.env(), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, timeout=timeout)
        return completed.stdout, without_wine_client_noise(completed.stderr), completed.returncode

    def start_windows(self, game, name, env=None):
        """Starts game/name under Wine without waiting: the Popen, whose
        process is the Windows program itself (wine execs its loader)."""
        return subprocess.Popen(self.prefix.command(os.path.join(game, name)), cwd=game, env=env or self.env(),
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)


# Under load, Wine 8's client now and then reports a failed hand-over of a
# file descriptor to its server on standard error, although the program's
# output and exit code are whole (seen in about one full test run in three),
# as "Socket operation on non-socket" or as "Bad file descriptor", or as the
# bare prefix when the rest of the line is lost (its line end too, when it
# comes last).
# Only exactly those lines of Wine's own are taken out; the program writes
# nothing to standard error, and everything else still fails a test.
WINE_CLIENT_NOISE = re.compile(
    rb"^wine client error:[0-9a-f]+: (sendmsg: (Socket operation on non-socket|Bad file descriptor))?(\n|\Z)", re.M)


def without_wine_client_noise(errors):
    return WINE_CLIENT_NOISE.sub(b"", errors)


class WineGameRuns:
    """launch(), update() and console() for scenarios that both builds run:
    the Windows programs in self.game under Wine, nothing on standard error."""

    def launch(self):
        output, errors, code = self.run_windows(self.game, "ZEM-Play.exe")
        self.assertEqual(b"", errors)
        return output, code

    def update(self):
        output, errors, code = self.run_windows(self.game, "ZEM-Update.exe")
        self.assertEqual((b"", 0), (errors, code))
        return output

    def console(self, output):
        return crlf(output)


def put_windows_programs(game):
    """Copies the Windows test build's programs into the game folder."""
    for name in ("ZEM-Play.exe", "ZEM-Update.exe"):
        shutil.copyfile(os.path.join(WIN_BIN, name), os.path.join(game, name))
