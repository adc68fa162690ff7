"""A signed release's installation stopped inside a large stored entry and
started again, by the launcher built with the publisher's key
(ZEM_SIGNED_BIN): the kept bytes are read back into the entry's SHA-256,
only the rest is fetched, and the file is moved into place only when the
whole hash is the manifest's."""

import os
import shutil
import unittest

from test_installer_resume import InstallerResume
from test_signed_releases import SIGNED_BIN, SIGNING_KEY, publish
from zem_e2e import make_temp_folder, write


class SignedInstallerResume(InstallerResume):
    cases = ["kept bytes are kept", "kept bytes damaged"]

    @classmethod
    def make_archive(cls):
        source = os.path.join(cls.work, "signed-game")
        for name, data in cls.files.items():
            write(os.path.join(source, name), data)
        out = make_temp_folder("zem-signed-resume-")
        publish("pack", source, "--version", "1.0", "--out", out, "--key", SIGNING_KEY)
        archive = os.path.join(cls.work, "frolix-rewrite.zip")
        shutil.move(os.path.join(out, "files", "frolix-rewrite.zip"), archive)
        with open(os.path.join(out, "files", "frolix-rewrite.zip.manifest"), "rb") as f:
            cls.beside = {".manifest": f.read()}
        shutil.rmtree(out)
        return archive

    def put_programs(self, game):
        for name in ("ZEM-Play.exe", "ZEM-Update.exe"):
            shutil.copyfile(os.path.join(SIGNED_BIN, name), os.path.join(game, name))
            os.chmod(os.path.join(game, name), 0o755)


if __name__ == "__main__":
    unittest.main()
