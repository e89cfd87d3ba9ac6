"""The real KelSetup.exe under Wine: exit-code contract of the entry point."""
import os
import shutil
import subprocess
import tempfile
import unittest
import uuid

BUILD = os.environ.get("KEL_BUILD_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
BIN = os.path.join(BUILD, "bin")


def wine_env(extra=None):
    env = dict(os.environ)
    for name in ("http_proxy", "https_proxy", "all_proxy", "no_proxy",
                 "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "NO_PROXY"):
        env.pop(name, None)
    env.update({
        "WINEPREFIX": os.path.join(BUILD, "wineprefix"),
        "WINEDEBUG": "-all",
        "WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d",
    })
    env.update(extra or {})
    return env


class Profile:
    """An empty per-test profile inside the prefix's drive C."""

    def __init__(self):
        self.name = "kel_smoke_" + uuid.uuid4().hex[:12]
        self.unix = os.path.join(BUILD, "wineprefix", "drive_c", self.name)
        self.win = "C:\\" + self.name
        for sub in ("Roaming", "Local", "Temp", "Program Files", "Program Files (x86)"):
            os.makedirs(os.path.join(self.unix, sub))

    def env(self):
        return {
            "APPDATA": self.win + "\\Roaming",
            "LOCALAPPDATA": self.win + "\\Local",
            "ProgramFiles": self.win + "\\Program Files",
            "ProgramW6432": self.win + "\\Program Files",
            "ProgramFiles(x86)": self.win + "\\Program Files (x86)",
            "TEMP": self.win + "\\Temp",
            "TMP": self.win + "\\Temp",
            "KEL_CLOUD_ORIGIN": "http://127.0.0.1:9",
        }

    def remove(self):
        shutil.rmtree(self.unix, ignore_errors=True)


class SilentExitCodes(unittest.TestCase):
    def setUp(self):
        self.profile = Profile()
        self.addCleanup(self.profile.remove)

    def run_setup(self, *args):
        return subprocess.run(["wine", os.path.join(BIN, "KelSetup.exe"), *args],
                              env=wine_env(self.profile.env()), stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)

    def test_silent_without_any_sketchup_exits_2_and_writes_nothing(self):
        result = self.run_setup("--silent", "--origin", "http://127.0.0.1:9")
        self.assertEqual(result.returncode, 2)
        self.assertEqual(result.stdout, b"")
        for sub in ("Roaming", "Local"):
            self.assertEqual(os.listdir(os.path.join(self.profile.unix, sub)), [])

    def test_empty_target_falls_back_to_discovery(self):
        self.assertEqual(self.run_setup("--silent", "--target").returncode, 2)


@unittest.skipUnless(shutil.which("xvfb-run"), "xvfb-run is not installed")
class WizardWindow(unittest.TestCase):
    def test_window_opens_with_its_class_title_and_size_and_closing_exits_0(self):
        profile = Profile()
        self.addCleanup(profile.remove)
        env = wine_env(profile.env())
        script = ("wine \"$1\" & setup=$!; wine \"$2\"; probe=$?; wait $setup; "
                  "echo \"setup_exit=$?\"; exit $probe")
        with tempfile.TemporaryDirectory() as tmp:
            result = subprocess.run(
                ["xvfb-run", "-a", "-s", "-screen 0 800x600x24", "bash", "-c", script, "bash",
                 os.path.join(BIN, "KelSetup.exe"), os.path.join(BIN, "app_window_closer.exe")],
                env=env, cwd=tmp, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                stderr=subprocess.PIPE, timeout=180)
        out = result.stdout.decode("utf-8", "replace")
        self.assertEqual(result.returncode, 0, out + result.stderr.decode("utf-8", "replace"))
        values = dict(line.split("=", 1) for line in out.splitlines() if "=" in line)
        self.assertEqual(values["title"], "Kel 插件中心 & 管理器 安装工具")
        self.assertEqual((values["width"], values["height"]), ("656", "502"))
        self.assertEqual((values["caption"], values["sysmenu"], values["minimizebox"]),
                         ("1", "1", "1"))
        self.assertEqual((values["maximizebox"], values["thickframe"]), ("0", "0"))
        self.assertEqual(values["setup_exit"], "0")


if __name__ == "__main__":
    unittest.main()
