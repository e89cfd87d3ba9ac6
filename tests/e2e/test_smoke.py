"""The real KelSetup.exe under Wine: exit-code contract of the entry point."""
import os
import sys
import threading
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import kel_e2e  # noqa: E402
from kel_e2e import Profile, run_program, run_setup  # noqa: E402

CLOSER = os.path.join(kel_e2e.BIN_DIR, "app_window_closer.exe")
# Nothing listens on the discard port: no test here may reach a backend.
NO_BACKEND = {"KEL_CLOUD_ORIGIN": "http://127.0.0.1:9"}


class SilentExitCodes(unittest.TestCase):
    def setUp(self):
        self.profile = Profile("smoke")
        self.addCleanup(self.profile.remove)

    def test_silent_without_any_sketchup_exits_2_and_writes_nothing(self):
        result = run_setup(["--silent"], self.profile, NO_BACKEND)
        self.assertEqual(result.exit_code, 2, result)
        self.assertEqual(result.stdout, b"")
        for folder in (self.profile.roaming, self.profile.local):
            self.assertEqual(os.listdir(folder), [])

    def test_empty_target_falls_back_to_discovery(self):
        self.assertEqual(run_setup(["--silent", "--target"], self.profile, NO_BACKEND).exit_code, 2)

    def test_unknown_and_miscased_options_are_ignored(self):
        result = run_setup(["--silent", "--SILENT", "-update", "--origin=http://x", "bogus"],
                           self.profile, NO_BACKEND)
        self.assertEqual(result.exit_code, 2, result)


@unittest.skipUnless(kel_e2e.harness_display(), "the test harness started no virtual screen")
class WizardWindow(unittest.TestCase):
    def test_window_opens_with_its_class_title_and_size_and_closing_exits_0(self):
        profile = Profile("smoke_window")
        self.addCleanup(profile.remove)
        outcome = {}
        setup = threading.Thread(target=lambda: outcome.setdefault(
            "setup", run_setup([], profile, NO_BACKEND, timeout=120)))
        setup.start()
        probe = run_program(CLOSER, [], profile, timeout=90)
        setup.join()
        self.assertEqual(probe.exit_code, 0, probe)
        values = dict(line.split("=", 1)
                      for line in probe.stdout.decode("utf-8").splitlines() if "=" in line)
        self.assertEqual(values["title"], "Kel 插件中心 & 管理器 安装工具")
        self.assertEqual((values["width"], values["height"]), ("656", "502"))
        self.assertEqual((values["caption"], values["sysmenu"], values["minimizebox"]),
                         ("1", "1", "1"))
        self.assertEqual((values["maximizebox"], values["thickframe"]), ("0", "0"))
        self.assertEqual(outcome["setup"].exit_code, 0, outcome["setup"])


if __name__ == "__main__":
    unittest.main()
