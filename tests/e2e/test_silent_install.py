"""The real KelSetup.exe installing silently under Wine: discovered versions newest first,
the plugin manager started once, the first failure ending the run, offline packages, one
download of each file per run, and nothing written before everything is fetched."""
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import kel_e2e  # noqa: E402
import release_builder  # noqa: E402
from sample_backend import SampleBackend  # noqa: E402

LATEST = "/v3/installer/latest"
ZIP = "/v3/installer/download/zip"
BLOB = "/v3/installer/download/blob/"

def release_tree():
    with open(os.path.join(kel_e2e.BIN_DIR, "kel_fake_plugin_manager.exe"), "rb") as stream:
        manager = stream.read()
    files = {"kel_plugin_center.rb": "require 'kel_plugin_center/main'\n",
             "kel_plugin_center/bin/KelPluginManager.exe": manager}
    for i in range(25):
        files["kel_plugin_center/lib/part_%02d.rb" % i] = "# part %d\n" % i
    return files


class SilentRunCase(unittest.TestCase):
    def setUp(self):
        self.profile = kel_e2e.Profile("silent")
        self.addCleanup(self.profile.remove)
        self.root = self.profile.root
        self.win = self.profile.win_root
        self.release_dir = tempfile.mkdtemp(prefix="kel_release_")
        self.addCleanup(shutil.rmtree, self.release_dir, True)
        self.files = release_tree()
        self.data = release_builder.build_release_from_files(self.files, self.release_dir, "3.1.0")
        self.backend = SampleBackend(self.release_dir)
        self.backend.start()
        self.addCleanup(self.backend.stop)
        self.record = os.path.join(self.root, "launches.txt")

    def sketchup_plugins(self, year):
        return self.profile.make_plugins_dir(year)

    def run_setup(self, *args):
        self.backend.clear_log()
        run = kel_e2e.run_setup([*args, "--origin", self.backend.origin], self.profile,
                                {"KEL_MANAGER_RECORD": self.win + "\\launches.txt"})
        self.assertEqual(os.listdir(self.profile.temp), [])
        return run.exit_code

    def launches(self, expect):
        """Records of the started manager; waits for `expect` of them (the child is detached)."""
        deadline = time.time() + (15 if expect else 2)
        records = []
        while time.time() < deadline:
            if os.path.exists(self.record):
                with open(self.record, "r", encoding="utf-8") as stream:
                    records = [r for r in stream.read().split("\n\n") if r.strip()]
                if expect and len(records) >= expect:
                    time.sleep(0.5)  # a second, unexpected start would show up now
                    with open(self.record, "r", encoding="utf-8") as stream:
                        records = [r for r in stream.read().split("\n\n") if r.strip()]
                    break
            time.sleep(0.1)
        return [dict(line.split("=", 1) for line in r.splitlines()) for r in records]

    def assert_installed(self, plugins):
        for relative, content in self.files.items():
            if isinstance(content, str):
                content = content.encode("utf-8")
            with open(kel_e2e.find_path(plugins, relative), "rb") as stream:
                self.assertEqual(stream.read(), content, relative)

    def version_of(self, plugins):
        with open(kel_e2e.find_path(plugins, "kel_plugin_center/VERSION"), "rb") as stream:
            return stream.read()

    def read_log(self, name="run.log"):
        with open(os.path.join(self.root, name), "rb") as stream:
            lines = stream.read().decode("utf-8").split("\r\n")
        self.assertEqual(lines[-1], "")
        # Every line: local date and time to the millisecond, then the event.
        for line in lines[:-1]:
            self.assertRegex(line, r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \S")
        return [line[24:] for line in lines[:-1]]


class SilentInstallTest(SilentRunCase):
    def test_discovered_versions_newest_first_and_one_manager_start(self):
        p2023 = self.sketchup_plugins(2023)
        p2024 = self.sketchup_plugins(2024)
        p2025 = self.sketchup_plugins(2025)
        self.assertEqual(self.run_setup("--silent", "--log", self.win + "\\run.log"), 0)
        # One package download serves every version of the run.
        self.assertEqual(self.backend.request_paths(),
                         ["/v3/installer/latest", "/v3/installer/download/zip"])
        for plugins in (p2025, p2024, p2023):
            self.assert_installed(plugins)
            self.assertEqual(self.version_of(plugins), b"3.1.0\n")
        newest = os.stat(kel_e2e.find_path(p2025, "kel_plugin_center/VERSION")).st_mtime_ns
        older = os.stat(kel_e2e.find_path(p2024, "kel_plugin_center/VERSION")).st_mtime_ns
        self.assertLessEqual(newest, older)
        launches = self.launches(1)
        self.assertEqual(len(launches), 1)
        started = launches[0]
        plugins_win = self.win + "\\Roaming\\SketchUp\\SketchUp 2025\\SketchUp\\Plugins"
        self.assertEqual(started["KEL_PLUGINS_DIR"], plugins_win)
        self.assertEqual(started["argv1"], "--initial-login")
        self.assertEqual(started["KEL_INITIAL_LOGIN"], "1")
        self.assertEqual(started["argv0"].lower(),
                         (plugins_win + "\\kel_plugin_center\\bin\\KelPluginManager.exe").lower())

        # The log tells the run's story; a second run appends and finds nothing to do.
        self.assertEqual(self.run_setup("--silent", "--no-launch", "--log", self.win + "\\run.log"), 0)
        log = self.read_log()
        plugins_2024 = self.win + "\\Roaming\\SketchUp\\SketchUp 2024\\SketchUp\\Plugins"
        plugins_2023 = self.win + "\\Roaming\\SketchUp\\SketchUp 2023\\SketchUp\\Plugins"
        self.assertTrue(log[0].startswith("command line: ") and log[0].endswith("--origin " + self.backend.origin), log[0])
        self.assertEqual(log[1], "origin: %s (from --origin)" % self.backend.origin)
        self.assertEqual(log[2:5], ["target: " + plugins_win, "target: " + plugins_2024,
                                    "target: " + plugins_2023])
        self.assertIn("release: v3.1.0, package %d bytes, 27 files" % self.data["fileSizeBytes"], log)
        self.assertEqual([line for line in log if line.startswith("installed into ")], [
            "installed into %s: full package; 27 written, 0 unchanged" % plugins_win,
            "installed into %s: full package; 27 written, 0 unchanged" % plugins_2024,
            "installed into %s: full package; 27 written, 0 unchanged" % plugins_2023,
            "installed into %s: nothing to do, every file is current; 0 written, 27 unchanged" % plugins_win,
            "installed into %s: nothing to do, every file is current; 0 written, 27 unchanged" % plugins_2024,
            "installed into %s: nothing to do, every file is current; 0 written, 27 unchanged" % plugins_2023])
        progress = [line for line in log if line.startswith("progress: ")]
        self.assertIn("progress: 正在写入安装文件...", progress)
        self.assertTrue(all(a != b for a, b in zip(progress, progress[1:])), progress)
        self.assertIn("plugin manager started from " + plugins_win, log)
        self.assertEqual([line for line in log if line.startswith("exit code")], ["exit code 0"] * 2)
        self.assertEqual(log[-1], "exit code 0")

    def test_backend_down_exits_3_and_the_log_says_why(self):
        p2025 = self.sketchup_plugins(2025)
        self.sketchup_plugins(2024)
        run = kel_e2e.run_setup(["--silent", "--origin", "http://127.0.0.1:9", "--log",
                                 self.win + "\\down.log"], self.profile)
        self.assertEqual(run.exit_code, 3)
        self.assertEqual(os.listdir(p2025), [])
        log = self.read_log("down.log")
        self.assertEqual(log[1], "origin: http://127.0.0.1:9 (from --origin)")
        self.assertEqual([line for line in log if line.startswith("target: ")], [
            "target: " + self.win + "\\Roaming\\SketchUp\\SketchUp %d\\SketchUp\\Plugins" % year
            for year in (2025, 2024)])
        errors = [line for line in log if line.startswith("error: ")]
        self.assertEqual(len(errors), 1, log)
        self.assertRegex(errors[0], r"^error: release query failed: \S.*\(\d+\)")
        self.assertEqual(log[-1], "exit code 3")

    def test_second_version_failing_exits_4_and_starts_nothing(self):
        p2025 = self.sketchup_plugins(2025)
        p2024 = self.sketchup_plugins(2024)
        # A file where 2024's plugin-center folder would go: that install cannot succeed.
        with open(os.path.join(p2024, "kel_plugin_center"), "wb") as stream:
            stream.write(b"not a folder")
        self.assertEqual(self.run_setup("--silent"), 4)
        self.assert_installed(p2025)
        self.assertEqual(self.launches(0), [])

    def test_offline_package_makes_no_request(self):
        package = os.path.join(self.root, "offline.zip")
        shutil.copy(os.path.join(self.release_dir, release_builder.PACKAGE_ZIP), package)
        target = os.path.join(self.root, "Target")
        os.makedirs(target)
        os.makedirs(os.path.join(self.root, "Local", "KelPlatformV3"))
        with open(os.path.join(self.root, "Local", "KelPlatformV3", "active_token.txt"), "w") as f:
            f.write("logged in")
        code = self.run_setup("--install-silent", "--target", self.win + "\\Target",
                              "--package", self.win + "\\offline.zip")
        self.assertEqual(code, 0)
        self.assertEqual(self.backend.request_paths(), [])
        self.assert_installed(target)
        self.assertFalse(os.path.exists(kel_e2e.find_path(target, "kel_plugin_center/VERSION")))
        self.assertTrue(os.path.isfile(package))
        launches = self.launches(1)
        self.assertEqual(len(launches), 1)
        self.assertEqual(launches[0]["argc"], "1")
        self.assertEqual(launches[0]["KEL_INITIAL_LOGIN"], "<unset>")

    def test_no_launch_starts_nothing_and_an_unwritable_log_changes_nothing(self):
        plugins = self.sketchup_plugins(2025)
        self.assertEqual(self.run_setup("--silent", "--no-launch", "--log",
                                        self.win + "\\no such folder\\run.log"), 0)
        self.assertFalse(os.path.exists(os.path.join(self.root, "no such folder")))
        self.assert_installed(plugins)
        self.assertEqual(self.launches(0), [])

    def test_zip_slip_package_exits_4_and_writes_nothing(self):
        package = os.path.join(self.root, "slip.zip")
        with zipfile.ZipFile(package, "w") as archive:
            archive.writestr("kel_plugin_center/bin/KelPluginManager.exe", b"MZ")
            archive.writestr("kel_plugin_center/../../escaped.rb", b"evil")
        target = os.path.join(self.root, "Target")
        os.makedirs(target)
        code = self.run_setup("--silent", "--target", self.win + "\\Target",
                              "--package", self.win + "\\slip.zip")
        self.assertEqual(code, 4)
        self.assertEqual(os.listdir(target), [])
        self.assertFalse(os.path.exists(os.path.join(self.root, "escaped.rb")))
        self.assertEqual(self.launches(0), [])


class FetchOnceTest(SilentRunCase):
    """Updates of several versions: each changed file fetched once, and a run that cannot
    fetch everything, or has no room for it, writes nothing."""

    def publish_changed(self, version, names, base=None):
        files = dict(base or self.files)
        for name in names:
            files[name] = "# %s in %s\n" % (name, version)
        data = release_builder.build_release_from_files(files, self.release_dir, version)
        digests = {f["relativePath"]: f["sha256"] for f in data["files"]}
        return files, [BLOB + digests[name] for name in names]

    def assert_tree(self, plugins, files):
        for relative, content in files.items():
            if isinstance(content, str):
                content = content.encode("utf-8")
            with open(kel_e2e.find_path(plugins, relative), "rb") as stream:
                self.assertEqual(stream.read(), content, relative)

    def test_package_cut_off_once_is_resumed_and_installs_every_version(self):
        versions = [self.sketchup_plugins(year) for year in (2025, 2024)]
        size = self.data["fileSizeBytes"]
        self.backend.fail("cut_once", keep=size // 2)
        self.assertEqual(self.run_setup("--silent", "--no-launch"), 0)
        # The second request asks only for what the first did not deliver.
        self.assertEqual(self.backend.request_paths(), [LATEST, ZIP, ZIP])
        self.assertEqual([r.get("range") for r in self.backend.requests()[1:]],
                         [None, "bytes=%d-" % (size // 2)])
        for plugins in versions:
            self.assert_tree(plugins, self.files)

    def test_update_of_three_versions_fetches_each_changed_file_once(self):
        versions = [self.sketchup_plugins(year) for year in (2025, 2024, 2023)]
        self.assertEqual(self.run_setup("--silent", "--no-launch"), 0)
        v2, blobs = self.publish_changed("3.2.0", ["kel_plugin_center/lib/part_%02d.rb" % i
                                                   for i in (1, 2, 3)])
        self.assertEqual(self.run_setup("--silent", "--no-launch"), 0)
        self.assertEqual(sorted(self.backend.request_paths()), sorted([LATEST] + blobs))
        for plugins in versions:
            self.assert_tree(plugins, v2)
            self.assertEqual(self.version_of(plugins), b"3.2.0\n")

        # The third blob is missing: the first two arrived, but no version gets any of them.
        _, blobs = self.publish_changed("3.3.0", ["kel_plugin_center/lib/part_%02d.rb" % i
                                                  for i in (4, 5, 6)], v2)
        self.backend.fail("status", blobs[2], status=404)
        self.assertEqual(self.run_setup("--silent", "--no-launch"), 4)
        self.assertEqual(sorted(self.backend.request_paths()), sorted([LATEST] + blobs))
        for plugins in versions:
            self.assert_tree(plugins, v2)
            self.assertEqual(self.version_of(plugins), b"3.2.0\n")

    def test_update_meeting_a_held_file_changes_nothing_until_it_is_released(self):
        plugins = self.sketchup_plugins(2025)
        self.assertEqual(self.run_setup("--silent", "--no-launch"), 0)
        v2, _ = self.publish_changed("3.2.0", ["kel_plugin_center.rb",
                                               "kel_plugin_center/lib/part_07.rb",
                                               "kel_plugin_center/lib/new/added.rb"])

        before = kel_e2e.tree_bytes(plugins)
        plugins_win = self.win + "\\Roaming\\SketchUp\\SketchUp 2025\\SketchUp\\Plugins"
        held = plugins_win + "\\kel_plugin_center\\lib\\part_07.rb"
        with kel_e2e.holding(self.profile, "--lock", held):
            self.assertEqual(self.run_setup("--silent", "--no-launch", "--log",
                                            self.win + "\\run.log"), 4)
        self.assertEqual(kel_e2e.tree_bytes(plugins), before)
        self.assertIn("error: install into %s failed: 写入文件被占用或拒绝访问: %s"
                      % (plugins_win, held), self.read_log())
        # An aside copy of a setup that is gone (pid and ticks in its name) goes; a user's own
        # dated copy stays, on this run and on one with nothing to do.
        lib = kel_e2e.find_path(plugins, "kel_plugin_center/lib")
        with open(os.path.join(lib, "part_03.rb.old.4294967292_4242"), "wb") as stream:
            stream.write(b"# an old part 3\n")
        with open(os.path.join(plugins, "kel_plugin_center.rb.old.20240501"), "wb") as stream:
            stream.write(b"# the user's copy\n")
        for _ in range(2):
            self.assertEqual(self.run_setup("--silent", "--no-launch"), 0)
            self.assert_tree(plugins, v2)
        self.assertEqual(self.version_of(plugins), b"3.2.0\n")
        self.assertEqual([name for name in kel_e2e.tree_bytes(plugins) if ".old." in name],
                         ["kel_plugin_center.rb.old.20240501"])

    def test_no_spelling_of_managed_plugins_reaches_the_users_registry(self):
        plugins = self.sketchup_plugins(2025)
        self.assertEqual(self.run_setup("--silent", "--no-launch"), 0)
        registry = os.path.join(kel_e2e.find_path(plugins, "kel_plugin_center"),
                                "managed_plugins", "plugin_registry.json")
        os.makedirs(os.path.dirname(registry))
        with open(registry, "wb") as stream:
            stream.write(b'{"user": "data"}')
        hostile = b"{}"
        digest = release_builder.sha256_of_bytes(hostile)
        with open(os.path.join(self.release_dir, release_builder.BLOBS_DIR, digest), "wb") as f:
            f.write(hostile)
        spellings = ["kel_plugin_center\\managed_plugins\\plugin_registry.json",
                     "./kel_plugin_center/managed_plugins/plugin_registry.json",
                     "kel_plugin_center//managed_plugins/plugin_registry.json",
                     "KEL_PLUGIN_CENTER/Managed_Plugins/plugin_registry.json"]
        files = self.files
        for i, spelling in enumerate(spellings):
            with self.subTest(spelling=spelling):
                files, blobs = self.publish_changed(
                    "4.%d" % i, ["kel_plugin_center/lib/part_%02d.rb" % i], files)
                data = release_builder.load_release(self.release_dir)
                data["files"].append({"relativePath": spelling, "sha256": digest, "size": 2})
                release_builder.save_release(self.release_dir, data)
                self.assertEqual(self.run_setup("--silent", "--no-launch"), 0)
                self.assertEqual(self.backend.request_paths(), [LATEST] + blobs)
                with open(registry, "rb") as stream:
                    self.assertEqual(stream.read(), b'{"user": "data"}')

    def small_drive(self, size):
        """A drive letter on a tmpfs of `size` mounted inside drive_c. Wine shows a mount
        point below a drive as a reparse point, which the product rightly refuses to cross:
        the tmpfs has to be a drive of its own."""
        small = os.path.join(self.root, "Small")
        os.makedirs(small)
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=" + size, "tmpfs", small],
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if mounted.returncode != 0:
            self.skipTest("cannot mount a size-limited tmpfs here: %s"
                          % mounted.stdout.decode(errors="replace").strip())
        self.addCleanup(subprocess.run, ["umount", "-l", small])
        for letter in "qrstuvwxy":
            link = os.path.join(kel_e2e.WINEPREFIX, "dosdevices", letter + ":")
            try:
                os.symlink(small, link)
            except FileExistsError:
                continue
            self.addCleanup(os.unlink, link)
            return small, letter.upper() + ":"
        self.skipTest("no free drive letter in the prefix")

    def test_plugins_folder_too_small_for_the_release_fails_before_writing(self):
        small, drive = self.small_drive("2m")
        os.makedirs(os.path.join(small, "Plugins"))
        files = dict(self.files)
        files["kel_plugin_center/bin/data.bin"] = os.urandom(3 * 1024 * 1024)
        release_builder.build_release_from_files(files, self.release_dir, "5.0.0")
        self.assertEqual(self.run_setup("--silent", "--no-launch", "--target",
                                        drive + "\\Plugins"), 4)
        self.assertEqual(os.listdir(os.path.join(small, "Plugins")), [])
        self.assertEqual(self.backend.request_paths(), [LATEST, ZIP])

    def test_update_needs_room_for_what_it_writes_beside_what_it_replaces(self):
        # Same sizes, so the update hardly grows the folder; but every old file stays aside
        # until the last new one is written.
        small, drive = self.small_drive("24m")
        plugins = os.path.join(small, "Plugins")
        os.makedirs(plugins)
        files = dict(self.files)
        files["kel_plugin_center/bin/data.bin"] = os.urandom(12 * 1024 * 1024)
        release_builder.build_release_from_files(files, self.release_dir, "5.0.0")
        target = drive + "\\Plugins"
        self.assertEqual(self.run_setup("--silent", "--no-launch", "--target", target), 0)
        before = kel_e2e.tree_bytes(plugins)
        files["kel_plugin_center/bin/data.bin"] = os.urandom(12 * 1024 * 1024)
        release_builder.build_release_from_files(files, self.release_dir, "5.1.0")
        self.assertEqual(self.run_setup("--silent", "--no-launch", "--target", target,
                                        "--log", self.win + "\\room.log"), 4)
        self.assertEqual(kel_e2e.tree_bytes(plugins), before)
        errors = [line for line in self.read_log("room.log") if line.startswith("error: ")]
        self.assertEqual(len(errors), 1)
        self.assertIn("failed: 磁盘空间不足，无法写入安装文件 (需要 ", errors[0])


if __name__ == "__main__":
    unittest.main()
