#!/usr/bin/env python3
"""Writes the seed corpora under tests/fuzz/corpus/ (committed; run again
only to change them). Archives come from Info-ZIP zip and Python's zipfile."""
import io
import os
import shutil
import subprocess
import tempfile
import zipfile
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")


def seeds(target, named):
    folder = os.path.join(CORPUS, target)
    os.makedirs(folder, exist_ok=True)
    for name, data in named.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode())


seeds("name_rules", {
    "plain": "Frolix_Multiplayer/Content/Paks/pak0.pak",
    "backslashes": "Frolix_Multiplayer\\Binaries\\Win64\\Game.exe",
    "dot_dot": "a/../../outside.txt",
    "trailing_dot": "Frolix_Multiplayer/Saved./x",
    "device": "Content/nul .txt",
    "superscript_port": "COM\u00b9.log",
    "short_name": "ZEM-PL~1.EXE",
    "stream": "Game.exe:stream",
    "working_file": "zem\\UPDATE-DOWNLOAD.zip",
    "part_file": "Content/pak0.pak.ZEMPART",
    "release": "ZEM/release.json",
    "long": "a/" * 129 + "b",
})

seeds("versions", {
    "release": '{"name": "Frolix Rewrite", "version": "1.4.2", "notes": "..."}',
    "compare_newer": "1.10\t1.9",
    "compare_text": "1.2-beta\t1.2",
    "compare_signs": " +7.-1.0010\t7.4294967295.10",
    "compare_overflow": "99999999999999999999999.1\t4294967295.1",
    "version_too_long": '{"version": "' + "9" * 70 + '"}',
    "no_closing_quote": '{"version" : "1.0',
})

seeds("stored_hash", {
    "hash_line": "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08\r\n",
    "hash_space": "9F86D081884C7D659A2FEAA0C55AD015A3BF4F1B2B0B822CD15D6C15B0F00A08 update.zip\n",
    "too_long": "a" * 80,
    "empty_line": "\n9f86",
})

seeds("content_range", {
    "total": "bytes 0-0/1234567",
    "unknown_total": "bytes 0-0/*",
    "huge": "bytes 0-0/18446744073709551616",
    "no_slash": "bytes 0-0",
    "signed": "bytes 0-0/ -12",
})

seeds("removal_list", {
    "typical": "# retired files\r\nFrolix_Multiplayer/Content/Movies/\r\n"
               "Frolix_Multiplayer/Binaries/Win64/Game.exe\r\n",
    "dangerous": "Frolix_Multiplayer/././\nFrolix_Multiplayer/./Binaries/\n"
                 "Frolix_Multiplayer/Saved./SaveGames/\nFrolix_Multiplayer/Content/Paks./\n",
    "escapes": "Frolix_Multiplayer/Content/../../outside/keep.txt\n"
               "Frolix_Multiplayer\\Content\\Movies\\..\\..\\..\\outside\\keep.txt\n"
               "  Frolix_Multiplayer/Content/Movies/..\\..\\..\\top.txt  \n/top.txt\nC:/top.txt\n",
    "links": "Frolix_Multiplayer/Binaries/saves/\nFrolix_Multiplayer/Binaries/keep.txt\n"
             "Frolix_Multiplayer/Content/Movies/beyond/\nFrolix_Multiplayer/Binaries/Win64/paks/\n",
    "binaries_folder": "Frolix_Multiplayer/Binaries/\n",
    "nul_ends": "Frolix_Multiplayer/Content/Movies/intro.mp4\n\0Frolix_Multiplayer/Binaries/\n",
})


def sealed(line):
    return "%s %08x\n" % (line, zlib.crc32(line.encode()))


JOURNAL_LINES = ["in-place 6500000 0a1b2c3d Frolix_Multiplayer\\Content\\Movies\\intro 2.mp4",
                 "part 20000000 deadbeef 6500000 6500123 4194304 12345678 Frolix_Multiplayer\\Content\\Paks\\p1.pak",
                 "in-place 12 " + "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08" + " ZEM-Play.bat"]
seeds("install_journal", {
    # Whole journals, as the launcher writes them.
    "journal": "".join(sealed(line) for line in ["zem install journal 2", *JOURNAL_LINES]),
    "zeros_after_a_record": sealed("zem install journal 2") + sealed(JOURNAL_LINES[0]) + "\0" * 64
                            + sealed(JOURNAL_LINES[1]),
    # Lines without their seals: the target seals them, and their fields are read.
    "lines": "\n".join(JOURNAL_LINES),
    "lines_odd_numbers": "part 1 0 0 0 1 0 a\nin-place 18446744073709551615 00000000 b\npart 5 x 1 2 3 4 c",
})


DIGEST = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08"
seeds("signed_texts", {
    "update": "ZEM update signature 1\nversion 1.4.2\nsha256 " + DIGEST + "\n",
    "update_prerelease": "ZEM update signature 1\nversion 2.0-rc2\nsha256 " + DIGEST + "\n",
    "manifest": "ZEM manifest 1\nversion 1.4.2\n" + DIGEST + " 12 ZEM-Play.bat\n"
                + DIGEST + " 25165824 Frolix_Multiplayer/Content/Paks/pak0.pak\n",
    "manifest_empty": "ZEM manifest 1\nversion 3\n",
    "manifest_dot_name": "ZEM manifest 1\nversion 1.0\n" + DIGEST + " 0 ./a.txt\n",
    "neither": "ZEM manifest 2\nversion 1\n",
})

# Templates that fuzz_key_chain signs: "@N" is key N's public key, "sign N"
# key N's signature line (0 is the built-in root).
seeds("key_chain", {
    "delegation": "ZEM delegation 1\nnumber 1\nrelease-key @3\nsign 0\n",
    "two_links": "ZEM root 1\nnumber 1\nroot-key @1\nsign 0\nsign 1\n"
                 "ZEM root 1\nnumber 2\nroot-key @2\nsign 1\nsign 2\n"
                 "ZEM delegation 1\nnumber 3\nrelease-key @3\nsign 2\n",
    "back_to_the_built_in_root": "ZEM root 1\nnumber 1\nroot-key @1\nsign 0\nsign 1\n"
                                 "ZEM root 1\nnumber 4\nroot-key @0\nsign 1\nsign 0\n"
                                 "ZEM delegation 1\nnumber 18446744073709551615\nrelease-key @3\nsign 0\n",
    "wrong_root": "ZEM delegation 1\nnumber 2\nrelease-key @3\nsign 1\n",
    "unsigned_link": "ZEM root 1\nnumber 1\nroot-key @1\nsign 0\nsign 9\n"
                     "ZEM delegation 1\nnumber 1\nrelease-key @3\nsign 1\n",
    "remembered": "ZEM keys accepted 1\nroot-key 04" + "ab" * 64 + "\nroot-number 2\ndelegation-number 7\n",
})


def zip_bytes(build):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as archive:
        build(archive)
    return buffer.getvalue()


def python_plain(archive):
    archive.writestr("ZEM-Play.bat", "echo game started\r\n")
    archive.writestr(zipfile.ZipInfo("Frolix_Multiplayer/Content/"), b"")
    archive.writestr("Frolix_Multiplayer/Content/Paks/pak0.pak", b"pak" * 200, zipfile.ZIP_DEFLATED)


def python_zip64(archive):
    with archive.open("Frolix_Multiplayer/Binaries/Win64/Game.exe", "w", force_zip64=True) as entry:
        entry.write(b"MZ" + bytes(300))


def python_refused(archive):
    for name in ("../outside.txt", "ZEM/update.sha256", "Content/CON.txt", "Saved./x", "a" * 300):
        archive.writestr(name, b"x")


def python_bomb(archive):
    archive.writestr("Frolix_Multiplayer/Content/zeros.bin", bytes(2 * 1024 * 1024), zipfile.ZIP_DEFLATED)


archives = {
    "python_plain.zip": zip_bytes(python_plain),
    "python_zip64.zip": zip_bytes(python_zip64),
    "python_refused_names.zip": zip_bytes(python_refused),
    "python_zeros.zip": zip_bytes(python_bomb),
}
with tempfile.TemporaryDirectory() as work:
    source = os.path.join(work, "game")
    os.makedirs(os.path.join(source, "Frolix_Multiplayer", "Content", "Movies"))
    with open(os.path.join(source, "Frolix_Multiplayer", "Content", "Movies", "intro.mp4"), "wb") as f:
        f.write(b"movie " * 100)
    with open(os.path.join(source, "ZEM-Play.bat"), "wb") as f:
        f.write(b"exit 0\r\n")
    for name, options in (("infozip.zip", []), ("infozip_zip64.zip", ["-fz"]), ("infozip_stored.zip", ["-0"])):
        target = os.path.join(work, name)
        subprocess.run(["zip", "-q", "-r", *options, target, "."], cwd=source, check=True)
        with open(target, "rb") as f:
            archives[name] = f.read()
seeds("zip_archive", archives)
