#!/usr/bin/env python3
"""The demo behind scripts/demo (which runs setup first)."""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(TOP, "tests", "e2e"))
from zem_e2e import Nginx, TestCA, port_is_free, remove_tree  # noqa: E402

SAMPLE = os.path.join(TOP, "demo", "sample-game")
ARCHIVE = os.path.join(TOP, "demo", "frolix-rewrite.zip")
LAUNCHER = os.path.join(TOP, "build", "bin", "ZEM-Play.exe")


def say(text):
    print("\n\033[1m== %s\033[0m" % text, flush=True)


def free_port():
    for port in range(48500, 48600):
        if port_is_free(port):
            return port
    raise SystemExit("demo: no free port between 48500 and 48599")


def folder_bytes(folder):
    total = 0
    for root, _dirs, files in os.walk(folder):
        for name in files:
            if not name.endswith(".zempart"):
                total += os.path.getsize(os.path.join(root, name))
    return total


def new_game_folder(work, name):
    game = os.path.join(work, name)
    os.makedirs(game)
    shutil.copy2(LAUNCHER, os.path.join(game, "ZEM-Play.exe"))
    return game


def main():
    say("Making the sample game (about 200 MB, made once and reused)")
    subprocess.run([sys.executable, os.path.join(TOP, "scripts", "make_sample_game.py"), SAMPLE, "200", ARCHIVE],
                   check=True)
    print("  %s: %.1f MB" % (os.path.relpath(ARCHIVE, TOP), os.path.getsize(ARCHIVE) / 1e6))

    work = tempfile.mkdtemp(prefix="zem-demo-")
    server = None
    try:
        ca = TestCA(work)
        docroot = os.path.join(work, "docroot")
        os.makedirs(os.path.join(docroot, "files"))
        os.symlink(ARCHIVE, os.path.join(docroot, "files", "frolix-rewrite.zip"))
        port = free_port()
        server = Nginx(work, docroot, ca, port=port)
        env = dict(os.environ, SSL_CERT_FILE=ca.ca_cert)
        print("  serving it from nginx at https://localhost:%d/files/frolix-rewrite.zip (a CA made for the demo)" % port)

        say("First start of ZEM-Play.exe in a fresh game folder")
        game = new_game_folder(work, "Frolix Rewrite")
        env["ZEM_INSTALL_URL"] = "https://localhost:%d/files/frolix-rewrite.zip" % port
        code = subprocess.run([os.path.join(game, "ZEM-Play.exe")], cwd=game, env=env,
                              stdin=subprocess.DEVNULL).returncode
        print("  (ZEM-Play.exe ended with exit code %d)" % code)

        say("A second installation, stopped half way (the user closes the app)")
        game = new_game_folder(work, "Frolix Rewrite 2")
        env["ZEM_INSTALL_URL"] = "https://localhost:%d/slow/frolix-rewrite.zip" % port
        process = subprocess.Popen([os.path.join(game, "ZEM-Play.exe")], cwd=game, env=env,
                                   stdin=subprocess.DEVNULL)
        half = folder_bytes(SAMPLE) // 2
        deadline = time.time() + 600
        while process.poll() is None and folder_bytes(game) < half and time.time() < deadline:
            time.sleep(0.05)
        process.send_signal(signal.SIGKILL)
        process.wait()
        print("\n  (stopped with %.0f MB of the game in place)" % (folder_bytes(game) / 1e6))

        say("Tapping the game again: the installation carries on where it stopped")
        env["ZEM_INSTALL_URL"] = "https://localhost:%d/files/frolix-rewrite.zip" % port
        code = subprocess.run([os.path.join(game, "ZEM-Play.exe")], cwd=game, env=env,
                              stdin=subprocess.DEVNULL).returncode
        print("  (ZEM-Play.exe ended with exit code %d)" % code)
        same = subprocess.run(["diff", "-r", "-q", "-x", ".complete-*", SAMPLE, game],
                              stdout=subprocess.PIPE, text=True).stdout
        extra = {line for line in same.splitlines() if not line.startswith("Only in " + game)}
        print("  installed files equal the sample game's: %s" % ("yes" if not extra else "NO\n" + "\n".join(extra)))
    finally:
        if server:
            server.stop()
        remove_tree(work)
    say("Done: the server is stopped and the demo's game folders are removed")


if __name__ == "__main__":
    main()
