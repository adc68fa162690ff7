"""The Windows ZEM-Play.exe's start-up under Wine: its own path from
GetModuleFileNameW, the moves of delivered copies, and the batch file run
by Wine's cmd.exe. The scenarios and their expected output are the POSIX
build's (test_launcher_startup), the output with "\\r\\n" for "\\n"."""

import os
import shutil
import struct
import subprocess
import unittest
import xml.etree.ElementTree as ElementTree

from test_launcher_startup import StartupScenarios
from zem_e2e import read
from zem_wine import WIN_BIN, WIN_WAIT_DIVISOR, WineTestCase, batch_file, crlf


class WineLauncherStartup(StartupScenarios, WineTestCase):
    wait_divisor = WIN_WAIT_DIVISOR

    # The hooks of StartupScenarios for the Windows build under Wine.
    def put_programs(self, game, launcher_name="ZEM-Play.exe"):
        shutil.copyfile(os.path.join(WIN_BIN, "ZEM-Play.exe"), os.path.join(game, launcher_name))
        shutil.copyfile(os.path.join(WIN_BIN, "ZEM-Update.exe"), os.path.join(game, "ZEM-Update.exe"))

    def launch(self, game, name="ZEM-Play.exe", cwd=None):
        output, errors, code = self.run_windows(game, name, cwd=cwd)
        self.assertEqual(b"", errors)
        return output, code

    def console(self, output):
        return crlf(output)

    def shown_folder(self, game):
        return self.prefix.windows_path(game)

    def folder_batch(self, exit_code):
        return batch_file("echo started in %CD%", "exit %d" % exit_code)

    def echo_batch(self, text):
        return batch_file("echo " + text, "exit 0")

    def silent_batch(self):
        return batch_file("exit 0")

    def test_long_path_forms_of_the_file_functions(self):
        # The seam's "\\?\" forms, UNC shares and drive roots included,
        # checked by a program of the Windows test build.
        completed = subprocess.run(self.prefix.command(os.path.join(WIN_BIN, "zem-long-path-cases.exe")),
                                   env=self.env(), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, timeout=120)
        self.assertEqual((b"", 0), (completed.stdout, completed.returncode))


def manifest_resource(image):
    """The application manifest a PE32+ image carries (resource 1 of type
    RT_MANIFEST, the one Windows reads at process start), or None."""
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    assert image[pe:pe + 4] == b"PE\0\0"
    section_count = struct.unpack_from("<H", image, pe + 6)[0]
    optional_size = struct.unpack_from("<H", image, pe + 20)[0]
    optional = pe + 24
    assert struct.unpack_from("<H", image, optional)[0] == 0x20B  # PE32+
    resources_rva = struct.unpack_from("<I", image, optional + 112 + 2 * 8)[0]  # data directory 2
    if resources_rva == 0:
        return None
    sections = [struct.unpack_from("<IIII", image, optional + optional_size + 40 * i + 8) for i in range(section_count)]

    def file_offset(rva):
        for virtual_size, virtual_address, raw_size, raw_at in sections:
            if virtual_address <= rva < virtual_address + max(virtual_size, raw_size):
                return rva - virtual_address + raw_at
        raise ValueError("RVA %#x is in no section" % rva)

    base = file_offset(resources_rva)

    def entries(directory):
        named, numbered = struct.unpack_from("<HH", image, base + directory + 12)
        return [struct.unpack_from("<II", image, base + directory + 16 + 8 * i) for i in range(named + numbered)]

    def subdirectory(directory, wanted_id):
        found = [target for name, target in entries(directory) if name == wanted_id and target & 0x80000000]
        return found[0] & 0x7FFFFFFF if found else None

    names = subdirectory(0, 24)  # RT_MANIFEST
    languages = names is not None and subdirectory(names, 1)
    if not languages:
        return None
    leaf = entries(languages)[0][1]
    data_rva, size = struct.unpack_from("<II", image, base + leaf)
    return image[file_offset(data_rva):file_offset(data_rva) + size]


class ProgramManifests(unittest.TestCase):
    """Both Windows programs declare themselves long-path aware (plain paths
    beyond MAX_PATH where Windows allows them) and ask for no elevation."""

    def test_both_programs_carry_a_long_path_aware_manifest(self):
        settings = "{http://schemas.microsoft.com/SMI/2016/WindowsSettings}"
        v1, v3 = "{urn:schemas-microsoft-com:asm.v1}", "{urn:schemas-microsoft-com:asm.v3}"
        for name in ("ZEM-Play.exe", "ZEM-Update.exe"):
            manifest = manifest_resource(read(os.path.join(WIN_BIN, name)))
            self.assertIsNotNone(manifest, name)
            assembly = ElementTree.fromstring(manifest)
            self.assertEqual(v1 + "assembly", assembly.tag)
            aware = assembly.findall(f"{v3}application/{v3}windowsSettings/{settings}longPathAware")
            self.assertEqual(["true"], [element.text for element in aware], name)
            level = assembly.find(f"{v3}trustInfo/{v3}security/{v3}requestedPrivileges/{v3}requestedExecutionLevel")
            self.assertEqual("asInvoker", level.get("level"), name)


if __name__ == "__main__":
    unittest.main()
