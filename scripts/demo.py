#!/usr/bin/env python3
"""The demo behind scripts/demo (which runs setup first)."""

import filecmp
import os
import re
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
PUBLISH = os.path.join(TOP, "build", "bin", "zem-publish")
# The lapsed player's part needs the updater, whose server is compiled in:
# the programs of build-demo (exact waits) talk to this port.
DEMO_PORT = 48490
DEMO_BUILD = os.path.join(TOP, "build-demo")
RELEASES = os.path.join(TOP, "demo", "releases")


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


def build_demo_programs():
    subprocess.run(["cmake", "-S", TOP, "-B", DEMO_BUILD, "-DCMAKE_BUILD_TYPE=Release", "-DZEM_BUILD_TESTS=OFF",
                    "-DZEM_SERVER_URL=https://localhost:%d" % DEMO_PORT], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", DEMO_BUILD, "--target", "ZEM-Play", "ZEM-Update", "-j2"], check=True,
                   stdout=subprocess.DEVNULL)
    return os.path.join(DEMO_BUILD, "bin")


def edit(folder, name, data):
    path = os.path.join(folder, *name.split("/"))
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def make_releases(programs):
    """Three releases of a ~40 MB game, each packed by zem-publish against
    the one before it (docs/publishing.md): 2.0 changes 60 data files and
    the executable and retires three files, 3.0 changes 60 others, a
    library and the executable. Made once, in demo/releases."""
    stamp = os.path.join(RELEASES, ".complete")
    # Made again when the programs changed: the releases carry them, and a
    # release's launcher that differs from the running one is delivered.
    if os.path.exists(stamp) and all(
            filecmp.cmp(os.path.join(programs, name), os.path.join(RELEASES, "game-3.0", name), shallow=False)
            for name in ("ZEM-Play.exe", "ZEM-Update.exe")):
        return
    remove_tree(RELEASES)
    os.makedirs(RELEASES)
    game = os.path.join(RELEASES, "game-1.0")
    subprocess.run([sys.executable, os.path.join(TOP, "scripts", "make_sample_game.py"), game, "40",
                    os.path.join(RELEASES, "unused.zip")], check=True)
    os.remove(os.path.join(RELEASES, "unused.zip"))
    for stale in os.listdir(game):
        if stale.startswith(".complete"):
            os.remove(os.path.join(game, stale))
    exe = "Frolix_Multiplayer/Binaries/Win64/Frolix_Multiplayer-Win64-Shipping.exe"
    data = "Frolix_Multiplayer/Content/Data/%02d/item%04d.json"
    for version, base in (("1.0", None), ("2.0", "1.0"), ("3.0", "2.0")):
        game = os.path.join(RELEASES, "game-" + version)
        if base:
            shutil.copytree(os.path.join(RELEASES, "game-" + base), game)
            first = 0 if version == "2.0" else 1000
            for i in range(first, first + 60):
                edit(game, data % (i % 40, i), b'{"item": %d, "release": "%s"}\n' % (i, version.encode()))
            edit(game, exe, b"MZ the game of release " + version.encode() + b"\n" * 4096)
            if version == "2.0":
                for i in (2000, 2001, 2002):
                    os.remove(os.path.join(game, *(data % (i % 40, i)).split("/")))
            else:
                edit(game, "Frolix_Multiplayer/Binaries/Win64/lib03.dll", b"\0" * 500000 + b"release 3.0")
        for name in ("ZEM-Play.exe", "ZEM-Update.exe"):
            shutil.copy2(os.path.join(programs, name), os.path.join(game, name))
        subprocess.run([PUBLISH, "pack", game, "--version", version, "--out", os.path.join(RELEASES, version),
                        "--quiet", *(["--base", os.path.join(RELEASES, base)] if base else [])], check=True,
                       stdout=subprocess.DEVNULL)
    open(stamp, "w").close()


def serve_release(docroot, version):
    files = os.path.join(docroot, "files")
    for name in os.listdir(files):
        os.remove(os.path.join(files, name))
    for name in ("frolix-rewrite.zip", "frolix-rewrite-update.zip", "release.json"):
        os.symlink(os.path.join(RELEASES, version, "files", name), os.path.join(files, name))


def bytes_sent(server, since):
    lines = server.requests()[since:]
    return sum(int(m.group(1)) for m in (re.search(r'" \d+ (\d+) "', line) for line in lines) if m)


def same_files(release, game):
    same = subprocess.run(["diff", "-r", "-q", "-x", "ZEM", release, game], stdout=subprocess.PIPE, text=True).stdout
    return "yes" if not same else "NO\n" + same


def lapsed_player(work, ca):
    """A player who installed 1.0, skipped 2.0 and comes back at 3.0."""
    say("Packing three releases with zem-publish, each against the one before (made once)")
    programs = build_demo_programs()
    make_releases(programs)
    if not port_is_free(DEMO_PORT):
        print("  port %d is in use: the lapsed player's part is left out" % DEMO_PORT)
        return
    docroot = os.path.join(work, "releases-docroot")
    os.makedirs(os.path.join(docroot, "files"))
    os.makedirs(os.path.join(work, "releases-server"))
    server = Nginx(os.path.join(work, "releases-server"), docroot, ca, port=DEMO_PORT)
    try:
        env = dict(os.environ, SSL_CERT_FILE=ca.ca_cert)
        env.pop("ZEM_INSTALL_URL", None)
        game = os.path.join(work, "Frolix Rewrite 3")
        os.makedirs(game)
        for name in ("ZEM-Play.exe", "ZEM-Update.exe"):
            shutil.copy2(os.path.join(programs, name), os.path.join(game, name))

        say("A player installs release 1.0 ...")
        serve_release(docroot, "1.0")
        subprocess.run([os.path.join(game, "ZEM-Play.exe")], cwd=game, env=env, stdin=subprocess.DEVNULL, check=True)

        say("... skips 2.0, and comes back when the server has 3.0: the game runs ZEM-Update.exe")
        serve_release(docroot, "3.0")
        since = len(server.requests())
        subprocess.run([os.path.join(game, "ZEM-Update.exe")], cwd=game, env=env, stdin=subprocess.DEVNULL, check=True)
        say("Tapping the game: ZEM-Play.exe brings the folder to 3.0 from the full archive")
        subprocess.run([os.path.join(game, "ZEM-Play.exe")], cwd=game, env=env, stdin=subprocess.DEVNULL, check=True)
        say("And the next update check")
        subprocess.run([os.path.join(game, "ZEM-Update.exe")], cwd=game, env=env, stdin=subprocess.DEVNULL, check=True)
        print("  fetched %.1f MB of the %.1f MB full archive; the folder equals release 3.0's: %s"
              % (bytes_sent(server, since) / 1e6,
                 os.path.getsize(os.path.join(RELEASES, "3.0", "files", "frolix-rewrite.zip")) / 1e6,
                 same_files(os.path.join(RELEASES, "game-3.0"), game)))
    finally:
        server.stop()


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

        lapsed_player(work, ca)
    finally:
        if server:
            server.stop()
        remove_tree(work)
    say("Done: the server is stopped and the demo's game folders are removed")


if __name__ == "__main__":
    main()
