#!/usr/bin/env python3
"""Makes a sample "Frolix Rewrite" game folder and its archive: large
incompressible .pak files, a few thousand small compressible files, some
half-compressible binaries, the game executable and a ZEM-Play.bat that
prints a line and exits 0. Reuses what an earlier call made.

usage: make_sample_game.py FOLDER MEGABYTES ARCHIVE"""

import os
import random
import subprocess
import sys

GAME_EXE = "Frolix_Multiplayer/Binaries/Win64/Frolix_Multiplayer-Win64-Shipping.exe"
BATCH = b"echo Frolix Rewrite is running. Have fun!\nexit 0\n"


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def make_tree(folder, megabytes):
    rng = random.Random(2026)
    total = megabytes * 1000 * 1000
    write(os.path.join(folder, "ZEM-Play.bat"), BATCH)
    write(os.path.join(folder, GAME_EXE), b"MZ" + rng.randbytes(3 * 1000 * 1000))
    written = 3 * 1000 * 1000
    # A few thousand small compressible files: configs, scripts, localisation.
    words = [b"frolix", b"rewrite", b"palindor", b"level", b"quest", b"sword", b"= 1\n", b"{\n", b"}\n"]
    for i in range(3000):
        body = b" ".join(rng.choice(words) for _ in range(rng.randint(20, 1500)))
        write(os.path.join(folder, "Frolix_Multiplayer/Content/Data/%02d/item%04d.json" % (i % 40, i)), body)
        written += len(body)
    # Half-compressible binaries: random blocks mixed with zero runs.
    for i in range(20):
        parts = [rng.randbytes(4096) if rng.random() < 0.5 else bytes(4096) for _ in range(256)]
        data = b"".join(parts)
        write(os.path.join(folder, "Frolix_Multiplayer/Binaries/Win64/lib%02d.dll" % i), data)
        written += len(data)
    # The rest: incompressible .pak files of up to 48 MB.
    index = 0
    while written < total:
        size = min(48 * 1000 * 1000, total - written)
        write(os.path.join(folder, "Frolix_Multiplayer/Content/Paks/pakchunk%d-Windows.pak" % index),
              rng.randbytes(size))
        written += size
        index += 1


def main():
    folder, megabytes, archive = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    stamp = os.path.join(folder, ".complete-%d" % megabytes)
    if os.path.exists(stamp) and os.path.exists(archive):
        return
    subprocess.run(["rm", "-rf", folder, archive], check=True)
    make_tree(folder, megabytes)
    # .pak files are stored, as game packers do; the rest is deflated.
    subprocess.run(["zip", "-q", "-r", "-n", ".pak", os.path.abspath(archive), "."], cwd=folder, check=True,
                   env=dict(os.environ, ZIPOPT=""))
    open(stamp, "w").close()


if __name__ == "__main__":
    main()
