"""DLLs planted beside a downloaded KelSetup.exe are never loaded: not by a silent install,
not by the wizard. Windows searches a program's own folder first for every DLL that is not a
KnownDLL; Wine does the same for the DLLs it is told to take native first."""
import os
import shutil
import sys
import tempfile
import threading
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import kel_e2e  # noqa: E402
import release_builder  # noqa: E402
from sample_backend import SampleBackend  # noqa: E402

PLANTED_NAMES = ("winhttp", "bcrypt", "version", "uxtheme", "dwmapi", "cryptbase")
NATIVE_FIRST = {"WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d;%s=n,b"
                % ",".join(PLANTED_NAMES)}
MARKER = "planted_dll_loaded.txt"
CLOSER = os.path.join(kel_e2e.BIN_DIR, "app_window_closer.exe")


class PlantedDlls(unittest.TestCase):
    def setUp(self):
        self.profile = kel_e2e.Profile("planting")
        self.addCleanup(self.profile.remove)
        # A downloads folder holding the program and a planted copy of every DLL name.
        self.downloads = os.path.join(self.profile.root, "Downloads")
        os.makedirs(self.downloads)
        self.setup_exe = os.path.join(self.downloads, "KelSetup.exe")
        shutil.copy(kel_e2e.SETUP_EXE, self.setup_exe)
        for name in PLANTED_NAMES:
            shutil.copy(os.path.join(kel_e2e.BIN_DIR, "planted_dll.dll"),
                        os.path.join(self.downloads, name + ".dll"))
        release_dir = tempfile.mkdtemp(prefix="kel_release_")
        self.addCleanup(shutil.rmtree, release_dir, True)
        self.files = {"kel_plugin_center.rb": b"# loader\n",
                      "kel_plugin_center/lib/core.rb": b"module Kel; end\n"}
        release_builder.build_release_from_files(self.files, release_dir, "3.2.0")
        self.backend = SampleBackend(release_dir)
        self.backend.start()
        self.addCleanup(self.backend.stop)

    def assert_no_planted_dll_loaded(self):
        marker = os.path.join(self.downloads, MARKER)
        if os.path.exists(marker):
            with open(marker, encoding="utf-8") as stream:
                self.fail("planted DLL loaded: " + stream.read().strip())

    def test_silent_install_loads_no_planted_dll(self):
        plugins = self.profile.make_plugins_dir(2025)
        result = kel_e2e.run_program(
            self.setup_exe, ["--silent", "--no-launch", "--origin", self.backend.origin],
            self.profile, NATIVE_FIRST)
        self.assert_no_planted_dll_loaded()
        self.assertEqual(result.exit_code, 0, result)
        # The download and its digest check ran: WinHTTP and CNG came from System32.
        for relative, content in self.files.items():
            with open(kel_e2e.find_path(plugins, relative), "rb") as stream:
                self.assertEqual(stream.read(), content)

    @unittest.skipUnless(kel_e2e.harness_display(), "the test harness started no virtual screen")
    def test_wizard_opened_and_closed_loads_no_planted_dll(self):
        self.profile.make_plugins_dir(2025)
        outcome = {}
        setup = threading.Thread(target=lambda: outcome.setdefault("setup", kel_e2e.run_program(
            self.setup_exe, ["--origin", self.backend.origin], self.profile, NATIVE_FIRST)))
        setup.start()
        closer = kel_e2e.run_program(CLOSER, [], self.profile, timeout=90)
        setup.join()
        self.assert_no_planted_dll_loaded()
        self.assertEqual(closer.exit_code, 0, closer)
        self.assertEqual(outcome["setup"].exit_code, 0, outcome["setup"])


if __name__ == "__main__":
    unittest.main()
