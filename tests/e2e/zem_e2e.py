"""Support for the end-to-end tests: a test CA, nginx over HTTPS on the
fixed loopback port the test build's server URL names, game folders with
the built programs in them, archives made by Info-ZIP zip and zipfile."""

import atexit
import os
import re
import shutil
import signal
import socket
import stat
import subprocess
import tempfile
import time
import unittest
import urllib.parse

BIN = os.environ.get("ZEM_BIN", os.path.join(os.path.dirname(__file__), "..", "..", "build-test", "bin"))
SERVER_URL = os.environ.get("ZEM_SERVER_URL", "https://localhost:48443")
WAIT_DIVISOR = int(os.environ.get("ZEM_WAIT_DIVISOR", "1000"))
TMP_ROOT = os.environ.get("ZEM_TEST_TMP") or tempfile.gettempdir()
PORT = urllib.parse.urlparse(SERVER_URL).port or 443

BANNER = (b"ZEM: installing Frolix Rewrite on this device.\n"
          b"  Keep Palindor open and the screen on until it's done. If it stops, tap the game again to carry on.\n")
UNREACHABLE = b"  Couldn't reach the ZEM site. Check the internet connection and tap the game again.\n"
GAME_EXE = "Frolix_Multiplayer/Binaries/Win64/Frolix_Multiplayer-Win64-Shipping.exe"


def make_temp_folder(prefix):
    os.makedirs(TMP_ROOT, exist_ok=True)
    return tempfile.mkdtemp(prefix=prefix, dir=TMP_ROOT)


_run_folder = None


def run_folder():
    """This test process's own folder for what the servers it starts read
    (certificates, docroots, configurations): zem-run-PID-* in the system's
    temporary folder, made 0755 on first use and removed when the process
    ends. Not under the checkout: a checkout's parents may be closed to
    other users (a clone in root's home, mode 700), and Apache's workers run
    as www-data."""
    global _run_folder
    if _run_folder is None:
        system_temp = tempfile.gettempdir()
        closed = first_folder_closed_to_others(system_temp)
        if closed is not None:
            raise RuntimeError(f"{closed} cannot be entered by other users, so the servers' workers could not "
                               f"reach a test's files in {system_temp}: set TMPDIR to a folder they can enter")
        remove_abandoned_run_folders(system_temp)
        folder = tempfile.mkdtemp(prefix=f"zem-run-{os.getpid()}-", dir=system_temp)
        os.chmod(folder, 0o755)
        atexit.register(remove_tree, folder)
        _run_folder = folder
    return _run_folder


def remove_abandoned_run_folders(system_temp):
    """Removes this user's run folders whose process has ended without
    removing its own (killed outright, as by a ctest timeout)."""
    for name in os.listdir(system_temp):
        match = re.fullmatch(r"zem-run-([0-9]+)-[^/]+", name)
        if match is None or process_exists(int(match.group(1))):
            continue
        path = os.path.join(system_temp, name)
        found = os.lstat(path)
        if stat.S_ISDIR(found.st_mode) and found.st_uid == os.getuid():
            remove_tree(path)


def process_exists(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        pass
    return True


def first_folder_closed_to_others(path):
    """The folder nearest / on the way to path that other users cannot
    enter, or None."""
    folder, closed = os.path.abspath(path), None
    while True:
        if not os.stat(folder).st_mode & 0o001:
            closed = folder
        parent = os.path.dirname(folder)
        if parent == folder:
            return closed
        folder = parent


def make_server_folder(prefix):
    """A fresh folder in the run folder that other users can enter (0755),
    for the files a server reads."""
    folder = tempfile.mkdtemp(prefix=prefix, dir=run_folder())
    os.chmod(folder, 0o755)
    return folder


def remove_tree(path):
    """Removes a test folder, read-only files included."""
    for root, dirs, files in os.walk(path):
        for name in dirs + files:
            full = os.path.join(root, name)
            if not os.path.islink(full):
                os.chmod(full, 0o755)
    shutil.rmtree(path, ignore_errors=True)


class TestCA:
    """A throwaway CA and a certificate for localhost, made with openssl."""

    def __init__(self, folder):
        self.folder = folder
        self.ca_cert = os.path.join(folder, "ca.pem")
        self.cert = os.path.join(folder, "server.pem")
        self.key = os.path.join(folder, "server.key")
        ca_key = os.path.join(folder, "ca.key")
        csr = os.path.join(folder, "server.csr")
        ext = os.path.join(folder, "server.ext")
        with open(ext, "w") as f:
            f.write("subjectAltName=DNS:localhost,IP:127.0.0.1\n"
                    "basicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyEncipherment\n"
                    "extendedKeyUsage=serverAuth\n")
        run_quietly(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", ca_key,
                     "-out", self.ca_cert, "-days", "2", "-subj", "/CN=ZEM test CA"])
        run_quietly(["openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", self.key,
                     "-out", csr, "-subj", "/CN=localhost"])
        run_quietly(["openssl", "x509", "-req", "-in", csr, "-CA", self.ca_cert, "-CAkey", ca_key,
                     "-CAcreateserial", "-out", self.cert, "-days", "2", "-extfile", ext])


def run_quietly(command):
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def port_is_free(port):
    with socket.socket() as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind(("127.0.0.1", port))
            return True
        except OSError:
            return False


class Nginx:
    """nginx serving docroot over HTTPS (HTTP/1.1 and HTTP/2) on 127.0.0.1:port."""

    def __init__(self, folder, docroot, ca, port=PORT, extra_config="", log_ranges=False):
        self.folder = folder
        self.docroot = docroot
        self.port = port
        self.access_log = os.path.join(folder, "access.log")
        self.error_log = os.path.join(folder, "error.log")
        conf = os.path.join(folder, "nginx.conf")
        # With log_ranges, each access log line ends with the Range header asked for.
        log_format = ('log_format ranges \'$remote_addr - $remote_user [$time_local] "$request" $status '
                      '$body_bytes_sent "$http_referer" "$http_user_agent" "$http_range"\';\n    '
                      if log_ranges else "")
        with open(conf, "w") as f:
            f.write(f"""
worker_processes 1;
user root;
pid {folder}/nginx.pid;
error_log {self.error_log} warn;
events {{ worker_connections 256; }}
http {{
    {log_format}access_log {self.access_log}{" ranges" if log_ranges else ""};
    client_body_temp_path {folder}/body;
    proxy_temp_path {folder}/proxy;
    fastcgi_temp_path {folder}/fastcgi;
    uwsgi_temp_path {folder}/uwsgi;
    scgi_temp_path {folder}/scgi;
    default_type application/octet-stream;
    sendfile on;
    keepalive_requests 100000;
    server {{
        listen 127.0.0.1:{port} ssl http2;
        server_name localhost;
        ssl_certificate {ca.cert};
        ssl_certificate_key {ca.key};
        root {docroot};
        # The same files, sent slowly: lets a test stop an installation half way.
        location /slow/ {{
            alias {docroot}/files/;
            limit_rate 4m;
        }}
        {extra_config}
    }}
}}
""")
        if not port_is_free(port):
            raise RuntimeError(f"port {port} is in use; the end-to-end tests need it for nginx")
        self.process = subprocess.Popen(["nginx", "-e", self.error_log, "-c", conf, "-p", folder,
                                         "-g", "daemon off;"],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.time() + 20
        while time.time() < deadline:
            try:
                with socket.create_connection(("127.0.0.1", port), timeout=1):
                    return
            except OSError:
                if self.process.poll() is not None:
                    break
                time.sleep(0.05)
        self.stop()
        raise RuntimeError("nginx did not start: " + open(self.error_log).read())

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGQUIT)
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()

    def requests(self):
        """The access log's lines (request line, status, bytes sent)."""
        if not os.path.exists(self.access_log):
            return []
        with open(self.access_log) as f:
            return [line for line in f.read().splitlines() if line]


class ServerTestCase(unittest.TestCase):
    """One test CA and one nginx for the whole test class, in a folder of
    the run folder (work); a fresh game folder and a fresh docroot for every
    test. A class that brings a server of its own sets with_nginx to False:
    then there are no nginx and no docroot."""

    with_nginx = True
    nginx = None

    @classmethod
    def setUpClass(cls):
        cls.work = make_server_folder("zem-e2e-")
        cls.ca = TestCA(cls.work)
        if cls.with_nginx:
            cls.docroot = os.path.join(cls.work, "docroot")
            os.makedirs(os.path.join(cls.docroot, "files"))
            cls.nginx = Nginx(cls.work, cls.docroot, cls.ca)

    @classmethod
    def tearDownClass(cls):
        if cls.nginx is not None:
            cls.nginx.stop()
        remove_tree(cls.work)

    def setUp(self):
        if self.nginx is not None:
            files = os.path.join(self.docroot, "files")
            shutil.rmtree(files)
            os.makedirs(files)
        self.game = make_game_folder("zem-game-")
        self.addCleanup(remove_tree, self.game)

    def nginx_url(self, path):
        return f"https://localhost:{self.nginx.port}/{path}"

    def serve(self, name, source):
        shutil.copyfile(source, os.path.join(self.docroot, "files", name))

    def env(self, **extra):
        env = dict(os.environ)
        env["SSL_CERT_FILE"] = self.ca.ca_cert
        env.pop("ZEM_INSTALL_URL", None)
        env.update(extra)
        return env


def make_game_folder(prefix, with_blanks=False):
    folder = make_temp_folder(prefix)
    if with_blanks:
        folder = os.path.join(folder, "Frolix Rewrite game")
        os.makedirs(folder)
    return folder


def put_programs(game, launcher_name="ZEM-Play.exe"):
    """Copies the built programs into the game folder."""
    shutil.copyfile(os.path.join(BIN, "ZEM-Play.exe"), os.path.join(game, launcher_name))
    os.chmod(os.path.join(game, launcher_name), 0o755)
    shutil.copyfile(os.path.join(BIN, "ZEM-Update.exe"), os.path.join(game, "ZEM-Update.exe"))
    os.chmod(os.path.join(game, "ZEM-Update.exe"), 0o755)


def run_program(game, name, env=None, args=(), timeout=600):
    """Runs game/name with the game folder as current directory; returns
    (stdout bytes, exit code). Standard input is closed: nothing may ask."""
    completed = subprocess.run([os.path.join(game, name), *args], cwd=game, env=env,
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, timeout=timeout)
    return completed.stdout, completed.returncode


class NativeGameRuns:
    """launch(), update() and console() for scenarios that both builds run:
    the native programs in self.game, output as printed."""

    def launch(self):
        return run_program(self.game, "ZEM-Play.exe", env=self.env())

    def update(self):
        output, code = run_program(self.game, "ZEM-Update.exe", env=self.env())
        self.assertEqual(0, code)
        return output

    def console(self, output):
        return output


def write(path, data):
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    with open(path, "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())


def read(path):
    with open(path, "rb") as f:
        return f.read()


def make_installed_game(game, batch=b"echo game started\nexit 0\n"):
    """A game folder that counts as installed: the game executable and a batch file."""
    write(os.path.join(game, GAME_EXE), b"MZ game")
    write(os.path.join(game, "ZEM-Play.bat"), batch)


def folder_listing(folder):
    """Every file under folder as {relative path: bytes}."""
    found = {}
    for root, _dirs, files in os.walk(folder):
        for name in files:
            full = os.path.join(root, name)
            found[os.path.relpath(full, folder)] = read(full)
    return found


def zip_with_info_zip(source_folder, archive, *options):
    """Makes an archive of source_folder's contents with Info-ZIP zip."""
    if os.path.exists(archive):
        os.remove(archive)
    subprocess.run(["zip", "-q", "-r", *options, archive, "."], cwd=source_folder, check=True)
