"""bench/update --history: players one to five releases behind a six-release
history, each release packed by zem-publish against the one before it.
See bench/update's description for the three packings compared."""

import filecmp
import importlib.machinery
import importlib.util
import os
import random
import re
import shutil
import subprocess
import time
import zipfile
import zlib

from zem_e2e import Nginx, TestCA, remove_tree

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PUBLISH = os.path.join(TOP, "build", "bin", "zem-publish")
PORT = 48443
MB = 1000 * 1000
MIB = 1024 * 1024
RELEASES = 6
PAK_SIZE = 40 * MIB
TEXT_SIZE = 100 * 1000
CHANGED_SHARE = 0.03
RETIRED_PER_RELEASE = 3
WINDOW = 8 * MIB


def bench_install():
    """bench/install as a module: its timing of a run (CPU of the whole
    process tree, and of a Wine prefix's long-lived processes)."""
    path = os.path.join(TOP, "bench", "install")
    loader = importlib.machinery.SourceFileLoader("bench_install", path)
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader("bench_install", loader))
    loader.exec_module(module)
    return module


def build_windows_programs():
    """The Windows programs for this bench's server (exact waits), in build-bench-win."""
    folder = os.path.join(TOP, "build-bench-win")
    subprocess.run(["cmake", "-S", TOP, "-B", folder, "-DCMAKE_BUILD_TYPE=Release", "-DZEM_BUILD_TESTS=OFF",
                    "-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(TOP, "cmake", "mingw-w64.cmake"),
                    "-DZEM_SERVER_URL=https://localhost:%d" % PORT], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", folder, "--target", "ZEM-Play", "ZEM-Update", "-j2"], check=True,
                   stdout=subprocess.DEVNULL)
    return {name: os.path.join(folder, "bin", name) for name in ("ZEM-Play.exe", "ZEM-Update.exe")}


def version(release):
    return "%d.0" % release


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def text_pool():
    """About 2 MB of word salad that deflates about three to one; files are
    slices of it with a line of their own in front."""
    rng = random.Random(77)
    words = ["".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(3, 10))) for _ in range(3000)]
    return " ".join(rng.choices(words, k=330000)).encode()


def text_file(pool, rng, tag):
    start = rng.randrange(0, len(pool) - TEXT_SIZE)
    return tag.encode() + b"\n" + pool[start:start + TEXT_SIZE]


def make_history(folder, megabytes, programs):
    """game-1 .. game-6 (folders) and out-1 .. out-6 (pack's OUT_DIRs, each
    against the one before), and out-6-oldest (6 against 1). Made once."""
    done = os.path.join(folder, "complete")
    # Made again when the programs changed: each release carries them, and
    # the players run the copies the releases hold.
    if os.path.exists(done) and all(
            filecmp.cmp(path, os.path.join(folder, "game-%d" % RELEASES, name), shallow=False)
            for name, path in programs.items()):
        return
    remove_tree(folder)
    os.makedirs(folder)
    rng = random.Random(6)
    pool = text_pool()
    pak_count = max(1, round(megabytes * MB * 0.7 / PAK_SIZE))
    text_count = max(40, round(megabytes * MB * 0.3 / TEXT_SIZE))
    files = {"ZEM-Play.bat": b"exit 0\n",
             "Frolix_Multiplayer/Binaries/Win64/Frolix_Multiplayer-Win64-Shipping.exe": b"MZ" + rng.randbytes(3 * MIB)}
    for i in range(pak_count):
        files["Frolix_Multiplayer/Content/Paks/pakchunk%d-Windows.pak" % i] = rng.randbytes(PAK_SIZE)
    texts = ["Frolix_Multiplayer/Content/Data/d%02d/asset%05d.txt" % (i % 40, i) for i in range(text_count)]
    for name in texts:
        files[name] = text_file(pool, rng, name)
    next_text = text_count
    for release in range(1, RELEASES + 1):
        if release > 1:
            # About 3% of the files change: text files, one pak and the executable.
            for name in rng.sample(texts, max(1, round(CHANGED_SHARE * len(files)) - 2)):
                files[name] = text_file(pool, rng, name + " in " + version(release))
            pak = "Frolix_Multiplayer/Content/Paks/pakchunk%d-Windows.pak" % rng.randrange(pak_count)
            files[pak] = rng.randbytes(PAK_SIZE)
            files[next(n for n in files if n.endswith("Shipping.exe"))] = b"MZ" + rng.randbytes(3 * MIB)
            # A few retired, a few new.
            for name in rng.sample(texts, RETIRED_PER_RELEASE):
                texts.remove(name)
                del files[name]
            for _ in range(RETIRED_PER_RELEASE):
                name = "Frolix_Multiplayer/Content/Data/d%02d/asset%05d.txt" % (next_text % 40, next_text)
                next_text += 1
                texts.append(name)
                files[name] = text_file(pool, rng, name)
        game = os.path.join(folder, "game-%d" % release)
        for name, data in files.items():
            write(os.path.join(game, name), data)
        for name in ("ZEM-Play.exe", "ZEM-Update.exe"):
            shutil.copy2(programs[name], os.path.join(game, name))
        base = ["--base", os.path.join(folder, "out-%d" % (release - 1))] if release > 1 else []
        print("history: packing %s" % version(release), flush=True)
        subprocess.run([PUBLISH, "pack", game, "--version", version(release), "--out",
                        os.path.join(folder, "out-%d" % release), "--quiet", *base], check=True,
                       stdout=subprocess.DEVNULL)
    subprocess.run([PUBLISH, "pack", os.path.join(folder, "game-%d" % RELEASES), "--version", version(RELEASES),
                    "--base", os.path.join(folder, "out-1"), "--out", os.path.join(folder, "out-%d-oldest" % RELEASES),
                    "--quiet"], check=True, stdout=subprocess.DEVNULL)
    strip_base(os.path.join(folder, "out-%d" % RELEASES, "files", "frolix-rewrite-update.zip"),
               os.path.join(folder, "update-without-base.zip"))
    write(done, b"")


def strip_base(archive, target):
    """The update archive as another tool would make it: the same entries,
    its release description naming the version only."""
    with zipfile.ZipFile(archive) as source, zipfile.ZipFile(target + ".part", "w") as out:
        for info in source.infolist():
            data = source.read(info)
            if info.filename == "ZEM/release.json":
                data = re.sub(rb',\s*"base": "[^"]*"', b"", data)
            out.writestr(info, data, compress_type=info.compress_type)
    os.replace(target + ".part", target)


def player_folder(folder, lag, target):
    """The folder of a player who installed release 6 - lag and stopped there."""
    release = RELEASES - lag
    remove_tree(target)
    shutil.copytree(os.path.join(folder, "game-%d" % release), target)
    with zipfile.ZipFile(os.path.join(folder, "out-%d" % release, "files", "frolix-rewrite.zip")) as z:
        for name in ("ZEM/release.json", "ZEM/removed.txt"):
            write(os.path.join(target, *name.split("/")), z.read(name))
    write(os.path.join(target, "ZEM", "full-install"), b"1")


def differing_entry_bytes(archive, player):
    """The archive bytes of the entries whose file in the player's folder
    differs (local headers included), and the central directory's size."""
    total = 0
    with open(archive, "rb") as f:
        raw = f.read()
    with zipfile.ZipFile(archive) as z:
        infos = z.infolist()
        for info in infos:
            if info.is_dir():
                continue
            path = os.path.join(player, *info.filename.split("/"))
            if os.path.exists(path) and os.path.getsize(path) == info.file_size:
                with open(path, "rb") as f:
                    if zlib.crc32(f.read()) == info.CRC:
                        continue
            header = info.header_offset
            name_length = int.from_bytes(raw[header + 26:header + 28], "little")
            extra_length = int.from_bytes(raw[header + 28:header + 30], "little")
            total += 30 + name_length + extra_length + info.compress_size
        directory = len(raw) - z.start_dir  # the central directory and its end records
    return total, directory


def ends_on_release(player, release_folder):
    """The player's folder, its state folder aside, is the release's folder."""
    def listing(folder):
        found = set()
        for root, dirs, files in os.walk(folder):
            if root == folder and "ZEM" in dirs:
                dirs.remove("ZEM")
            found.update(os.path.relpath(os.path.join(root, name), folder) for name in files)
        return found
    names = listing(player)
    if names != listing(release_folder):
        return False
    return all(filecmp.cmp(os.path.join(player, n), os.path.join(release_folder, n), shallow=False) for n in names)


def sent_since(nginx, before):
    lines = nginx.requests()[before:]
    return sum(int(m.group(1)) for m in (re.search(r'" \d+ (\d+) "', line) for line in lines) if m), len(lines)


def run(built, megabytes, wine=False):
    """Prints the table. With wine, the releases carry the Windows programs,
    and only (c) is run, under Wine, with the CPU seconds of every process
    of the run (wineserver's included)."""
    updater, _hasher, launcher = built
    timing = bench_install()
    programs = {"ZEM-Play.exe": launcher, "ZEM-Update.exe": updater}
    if wine:
        programs = build_windows_programs()
    out = os.path.join(TOP, "bench", "out")
    folder = os.path.join(out, "history-%d%s" % (megabytes, "-wine" if wine else ""))
    make_history(folder, megabytes, programs)
    latest = os.path.join(folder, "out-%d" % RELEASES, "files")
    full_archive = os.path.join(latest, "frolix-rewrite.zip")
    print("history: %d releases, full archive %.1f MB" % (RELEASES, os.path.getsize(full_archive) / MB))
    modes = {
        "(a) against the one before, no base": (os.path.join(folder, "update-without-base.zip"),
                                                b'{\n  "version": "%s"\n}\n' % version(RELEASES).encode()),
        "(b) against the oldest": (os.path.join(folder, "out-%d-oldest" % RELEASES, "files", "frolix-rewrite-update.zip"),
                                   None),
        "(c) against the one before, base": (os.path.join(latest, "frolix-rewrite-update.zip"), None),
    }
    if wine:
        modes = {"(c) under Wine": modes["(c) against the one before, base"]}
    work = os.path.join(out, "history-run")
    remove_tree(work)
    os.makedirs(work)
    nginx = None
    prefix = None
    try:
        ca = TestCA(work)
        docroot = os.path.join(work, "docroot")
        files = os.path.join(docroot, "files")
        os.makedirs(files)
        os.symlink(full_archive, os.path.join(files, "frolix-rewrite.zip"))
        nginx = Nginx(work, docroot, ca, port=PORT)
        env = dict(os.environ, SSL_CERT_FILE=ca.ca_cert)
        if wine:
            # The test build's bin has the tool that makes the prefix trust the CA.
            os.environ["ZEM_WIN_BIN"] = os.path.join(TOP, "build-win-test", "bin")
            from zem_wine import WinePrefix  # reads ZEM_WIN_BIN when imported

            prefix = WinePrefix(work)
            prefix.trust(ca.ca_cert)
            env = dict(prefix.env)
        env.pop("ZEM_INSTALL_URL", None)
        player = os.path.join(work, "player")
        print("\n%-38s %4s %10s %11s %8s %6s %7s %12s" % ("", "lag", "differ MB", "fetched MB", "time s", "CPU s",
                                                        "exact", "(c) bound MB"))
        for name, (update, description) in modes.items():
            for lag in range(1, RELEASES):
                for served in ("frolix-rewrite-update.zip", "release.json"):
                    if os.path.lexists(os.path.join(files, served)):
                        os.remove(os.path.join(files, served))
                os.symlink(update, os.path.join(files, "frolix-rewrite-update.zip"))
                if description is None:
                    os.symlink(os.path.join(os.path.dirname(update), "release.json"), os.path.join(files, "release.json"))
                else:
                    write(os.path.join(files, "release.json"), description)
                player_folder(folder, lag, player)
                differing, directory = differing_entry_bytes(full_archive, player)
                bound = 1.05 * differing + directory + WINDOW
                before = len(nginx.requests())
                seconds = cpu = 0.0
                for program in ("ZEM-Update.exe", "ZEM-Play.exe"):
                    command = ["wine", os.path.join(player, program)] if wine else [os.path.join(player, program)]
                    measured = timing.timed(command, player, env, prefix.path if wine else None)
                    seconds += measured.seconds
                    cpu += measured.cpu
                sent, _requests = sent_since(nginx, before)
                exact = ends_on_release(player, os.path.join(folder, "game-%d" % RELEASES))
                shown = "%12.1f %s" % (bound / MB, "met" if sent <= bound else "MISSED") if "(c)" in name else ""
                print("%-38s %4d %10.1f %11.1f %8.2f %6.2f %7s %s" % (name, lag, differing / MB, sent / MB, seconds,
                                                                     cpu, "yes" if exact else "NO", shown), flush=True)
    finally:
        if prefix:
            prefix.close()
        if nginx:
            nginx.stop()
        remove_tree(work)
