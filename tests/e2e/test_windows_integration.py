"""What administrators and Windows see of a run: help in a script, a missing system DLL, the log."""
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
import kel_e2e  # noqa: E402
from kel_e2e import Profile, run_setup, to_windows  # noqa: E402

NO_WINHTTP = "winhttp=d;mscoree,mshtml=;winemenubuilder.exe=d"


def fake_center(plugins, version="1.0.0"):
    center = os.path.join(plugins, "kel_plugin_center")
    os.makedirs(center)
    with open(os.path.join(center, "VERSION"), "w") as stream:
        stream.write(version + "\n")
    with open(os.path.join(plugins, "kel_plugin_center.rb"), "w") as stream:
        stream.write("# loader\n")


@unittest.skipUnless(kel_e2e.wine_available(), "wine or KelSetup.exe missing")
class SilentRuns(unittest.TestCase):
    def setUp(self):
        self.profile = Profile("integration")
        self.addCleanup(self.profile.remove)

    def test_silent_help_prints_and_logs_without_a_window(self):
        log = os.path.join(self.profile.root, "help.log")
        # A message box would hold the run until the time-out.
        result = run_setup(["--silent", "--help", "--log", to_windows(log)], self.profile, timeout=5)
        self.assertEqual(result.exit_code, 0, result)
        self.assertLess(result.elapsed, 5)
        out = result.stdout.decode("utf-8")
        self.assertIn("--purge-global", out)
        self.assertIn("4\t安装或卸载失败", out)
        with open(log, encoding="utf-8") as stream:
            lines = stream.read().splitlines()
        self.assertIn("--no-launch\t安装后不启动插件管理器", lines[1])
        self.assertTrue(lines[-1].endswith("exit code 0"), lines)

    def test_without_the_network_dll_a_silent_install_exits_3(self):
        self.profile.install_sketchup(2025)
        plugins = self.profile.make_plugins_dir(2025)
        result = run_setup(["--silent", "--origin", "http://127.0.0.1:9"], self.profile,
                           env={"WINEDLLOVERRIDES": NO_WINHTTP})
        self.assertEqual(result.exit_code, 3, result)
        self.assertEqual(os.listdir(plugins), [])

    def test_a_log_inside_the_purged_platform_folder_stays_alone(self):
        self.profile.install_sketchup(2025)
        fake_center(self.profile.make_plugins_dir(2025))
        platform = os.path.join(self.profile.local, "KelPlatformV3")
        self.profile.agent_properties("cloud.origin=http://127.0.0.1:9\n")
        os.makedirs(os.path.join(platform, "cache"))
        with open(os.path.join(platform, "cache", "token.bin"), "wb") as stream:
            stream.write(b"secret")
        log = os.path.join(platform, "uninstall.log")
        result = run_setup(["--silent", "--uninstall", "--log", to_windows(log)], self.profile)
        self.assertEqual(result.exit_code, 0, result)
        self.assertEqual(os.listdir(platform), ["uninstall.log"])
        with open(log, encoding="utf-8") as stream:
            text = stream.read()
        self.assertTrue(text.rstrip().endswith("exit code 0"), text)
        self.assertNotIn("重启", text)
        self.assertFalse(os.path.exists(os.path.join(self.profile.local, "com.kel.pluginmanager")))


if __name__ == "__main__":
    unittest.main()
