"""What administrators and Windows see of a run: help in a script, a missing system DLL, the log."""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
import kel_e2e  # noqa: E402
import release_builder  # noqa: E402
from kel_e2e import Profile, run_setup, to_unix, to_windows  # noqa: E402
from sample_backend import SampleBackend  # noqa: E402

NO_WINHTTP = "winhttp=d;mscoree,mshtml=;winemenubuilder.exe=d"
ENTRY_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\KelPluginCenter"


def entry():
    """The values of the Apps & features entry as `reg query` prints them, None without one."""
    with tempfile.TemporaryFile() as out:
        code = subprocess.run(["wine", "reg", "query", ENTRY_KEY], env=kel_e2e.wine_env(),
                              stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.DEVNULL,
                              timeout=120).returncode
        out.seek(0)
        text = out.read().decode("utf-8", "replace")
    if code != 0:
        return None
    values = {}
    for line in text.splitlines():
        parts = re.split(r" {4}", line.strip())
        if len(parts) == 3:
            values[parts[0]] = (parts[1], parts[2])
    return values


def center_kib(plugins):
    total = os.path.getsize(os.path.join(plugins, "kel_plugin_center.rb"))
    for parent, _, files in os.walk(os.path.join(plugins, "kel_plugin_center")):
        total += sum(os.path.getsize(os.path.join(parent, name)) for name in files)
    return (total + 1023) // 1024


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
        # The launcher ends the program after 5 s (exit 124): a message box would hold it so.
        # Wine's own start-up is not counted: on a loaded machine it alone can take seconds.
        result = run_setup(["--silent", "--help", "--log", to_windows(log)], self.profile, timeout=5)
        self.assertEqual(result.exit_code, 0, result)
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


@unittest.skipUnless(kel_e2e.wine_available(), "wine or KelSetup.exe missing")
class AppsEntry(unittest.TestCase):
    """The per-user Apps & features entry (HKCU is shared by the prefix: these tests never run
    beside another test that installs or uninstalls)."""

    def setUp(self):
        self.profile = Profile("entry")
        self.addCleanup(self.profile.remove)
        release_dir = tempfile.mkdtemp(prefix="kel_entry_release_")
        self.addCleanup(shutil.rmtree, release_dir, True)
        files = {"kel_plugin_center.rb": "require 'kel_plugin_center/main'\n",
                 "kel_plugin_center/main.rb": "# main\n" * 700,
                 "kel_plugin_center/lib/core.rb": "module Kel; end\n"}
        data = release_builder.build_release_from_files(files, release_dir, "3.1.0")
        data["pluginName"] = "Kel Center E2E"
        release_builder.save_release(release_dir, data)
        self.backend = SampleBackend(release_dir)
        self.backend.start()
        self.addCleanup(self.backend.stop)
        self.copy = os.path.join(self.profile.local, "Programs", "KelPluginCenter", "KelSetup.exe")
        self.plugins = []
        for year in (2025, 2024):
            self.profile.install_sketchup(year)
            self.plugins.append(self.profile.make_plugins_dir(year))

    def install(self):
        result = run_setup(["--silent", "--no-launch", "--origin", self.backend.origin], self.profile)
        self.assertEqual(result.exit_code, 0, result)

    def test_install_writes_the_entry_and_its_quiet_uninstall_removes_everything(self):
        self.install()
        values = entry()
        self.assertIsNotNone(values, "no entry after an install")
        with open(self.copy, "rb") as copied, open(kel_e2e.SETUP_EXE, "rb") as program:
            self.assertEqual(copied.read(), program.read())
        copy = to_windows(self.copy)
        for name, expected in {
                "DisplayName": ("REG_SZ", "Kel Center E2E"),
                "DisplayVersion": ("REG_SZ", "3.1.0"),
                "Publisher": ("REG_SZ", "Kelmar"),
                "DisplayIcon": ("REG_SZ", copy),
                "InstallLocation": ("REG_SZ", to_windows(os.path.dirname(self.copy))),
                "UninstallString": ("REG_SZ", '"%s" --uninstall' % copy),
                "QuietUninstallString": ("REG_SZ", '"%s" --silent --uninstall' % copy),
                "EstimatedSize": ("REG_DWORD", hex(sum(center_kib(p) for p in self.plugins))),
                "NoModify": ("REG_DWORD", "0x1"),
                "NoRepair": ("REG_DWORD", "0x1")}.items():
            self.assertEqual(values.get(name), expected, name)
        self.assertRegex(values["InstallDate"][1], r"^20\d{6}$")

        # As a management tool runs it: the quiet uninstall string, word for word.
        program, arguments = re.match(r'^"([^"]+)" (.*)$', values["QuietUninstallString"][1]).groups()
        result = kel_e2e.run_program(to_unix(program), arguments.split(), self.profile)
        self.assertEqual(result.exit_code, 0, result)
        for plugins in self.plugins:
            self.assertEqual(os.listdir(plugins), [])
        self.assertIsNone(entry())
        self.assertFalse(os.path.exists(os.path.dirname(self.copy)))
        # The running copy finished from the temporary folder; the next run's sweep clears it.
        aside = [n for n in os.listdir(self.profile.temp) if n.startswith("kel_setup_finish_")]
        self.assertEqual(len(aside), 1, os.listdir(self.profile.temp))
        self.install()
        self.assertEqual(os.listdir(self.profile.temp), [])

    def test_uninstalling_one_of_two_versions_keeps_the_entry_for_the_other(self):
        self.install()
        self.assertEqual(entry()["DisplayVersion"], ("REG_SZ", "3.1.0"))
        # The older SketchUp keeps an older center.
        with open(os.path.join(self.plugins[1], "kel_plugin_center", "VERSION"), "w") as stream:
            stream.write("1.5.0\n")
        result = run_setup(["--silent", "--uninstall", "--target", to_windows(self.plugins[0])],
                           self.profile)
        self.assertEqual(result.exit_code, 0, result)
        values = entry()
        self.assertEqual(values["DisplayVersion"], ("REG_SZ", "1.5.0"))
        self.assertEqual(values["DisplayName"], ("REG_SZ", "Kel Center E2E"))
        self.assertEqual(values["EstimatedSize"], ("REG_DWORD", hex(center_kib(self.plugins[1]))))
        self.assertTrue(os.path.isfile(self.copy))


if __name__ == "__main__":
    unittest.main()
