"""InstallIntoPlugins against the sample backend: the three ways, their thresholds, the
progress each reports, what reaches the backend and what stays on disk.

A small driver program (install_driver.exe) runs one install under Wine and prints the result
and every progress call as JSON; the backend runs here on loopback.
"""
import json
import os
import re
import shutil
import sys
import tempfile
import unittest
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import kel_e2e  # noqa: E402
import release_builder  # noqa: E402
from sample_backend import SampleBackend  # noqa: E402

DOWNLOAD_TEXT = re.compile(r"^正在下载文件 \(\d+ / \d+ KB\)\.\.\.$")
LATEST = "/v3/installer/latest"
ZIP = "/v3/installer/download/zip"
BLOB = "/v3/installer/download/blob/"
DRIVER = os.path.join(kel_e2e.BIN_DIR, "install_driver.exe")


def plugin_tree(count, version="1", big=None):
    """count files of the plugin center plus its loader; `big` adds one incompressible file."""
    files = {"kel_plugin_center.rb": "require 'kel_plugin_center/main' # %s\n" % version}
    for i in range(count):
        files["kel_plugin_center/lib/part_%03d.rb" % i] = "# part %d of release %s\n" % (i, version)
    if big is not None:
        files["kel_plugin_center/bin/data.bin"] = big
    return files


class InstallEngineTest(unittest.TestCase):
    def setUp(self):
        self.profile = kel_e2e.Profile("install")
        self.addCleanup(self.profile.remove)
        self.root = self.profile.root
        self.win_root = self.profile.win_root
        self.release_dir = tempfile.mkdtemp(prefix="kel_release_")
        self.addCleanup(shutil.rmtree, self.release_dir, True)
        self.backend = SampleBackend(self.release_dir)
        self.backend.start()
        self.addCleanup(self.backend.stop)
        self.plugins = os.path.join(self.root, "Plugins")  # created as the driver spells it

    # -- helpers ---------------------------------------------------------------------------
    def publish(self, files, version, **options):
        return release_builder.build_release_from_files(files, self.release_dir, version,
                                                        **options)

    def install(self, *args, plugins="Plugins"):
        self.backend.clear_log()
        run = kel_e2e.run_program(DRIVER, [self.win_root + "\\" + plugins, self.backend.origin,
                                           *args], self.profile)
        lines = [l for l in run.stdout.decode("utf-8").splitlines() if l.startswith("{")]
        self.assertTrue(lines, run)
        result = json.loads(lines[-1])
        # Temporary packages, stages and blob folders never outlive the call.
        self.assertEqual(os.listdir(os.path.join(self.root, "Temp")), [])
        return result

    def read(self, relative):
        with open(kel_e2e.find_path(self.plugins, relative), "rb") as stream:
            return stream.read()

    def version_file(self):
        path = kel_e2e.find_path(self.plugins, "kel_plugin_center/VERSION")
        if not os.path.isfile(path):
            return None
        with open(path, "rb") as stream:
            return stream.read()

    def assert_tree(self, files):
        for relative, content in files.items():
            if isinstance(content, str):
                content = content.encode("utf-8")
            self.assertEqual(self.read(relative), content, relative)

    def split_progress(self, progress):
        """Drops the download texts (checked for shape and order) and returns the rest."""
        kept, last = [], -1
        for percent, text in progress:
            if DOWNLOAD_TEXT.match(text):
                self.assertTrue(last <= percent <= 99, (percent, text))
                last = percent
            else:
                kept.append((percent, text))
        return kept

    def write_steps(self, total, text):
        steps = [i for i in range(1, total + 1) if i % 20 == 1]
        if total not in steps:
            steps.append(total)
        return [(75 + 23 * i // max(total, 1), text) for i in steps]

    # -- the full path ---------------------------------------------------------------------
    def test_fresh_install_takes_the_package_even_with_a_manifest(self):
        files = plugin_tree(44)
        data = self.publish(files, "1.0.0")
        self.assertEqual(len(data["files"]), 45)
        result = self.install()
        self.assertTrue(result["success"], result["message"])
        self.assertFalse(result["isUpdate"])
        self.assertEqual((result["downloadedCount"], result["writtenCount"],
                          result["unchangedCount"]), (1, 45, 0))
        self.assertEqual(result["message"], "")
        self.assertEqual(self.backend.request_paths(), [LATEST, ZIP])
        self.assert_tree(files)
        self.assertEqual(self.version_file(), b"1.0.0\n")
        self.assertEqual(self.split_progress(result["progress"]),
                         [(15, "正在下载 Kel 插件中心与管理器安装包..."),
                          (70, "正在校验并解压安装文件...")]
                         + self.write_steps(45, "正在写入安装文件...")
                         + [(100, "安装完成！")])

    def test_everything_up_to_date_rewrites_only_the_version(self):
        files = plugin_tree(20)
        files["kel_plugin_center/managed_plugins/plugin_registry.json"] = "{}"
        self.publish(files, "1.0.0")
        self.assertTrue(self.install()["success"])
        with open(kel_e2e.find_path(self.plugins, "kel_plugin_center/VERSION"), "wb") as stream:
            stream.write(b"0.9\n")
        result = self.install()
        self.assertTrue(result["success"], result["message"])
        self.assertTrue(result["isUpdate"])
        self.assertEqual((result["downloadedCount"], result["writtenCount"],
                          result["unchangedCount"]), (0, 0, 21))
        self.assertEqual(result["progress"], [[10, "正在比对本地插件中心文件差异..."],
                                              [100, "本地文件均已是最新，无需更新。"]])
        self.assertEqual(self.backend.request_paths(), [LATEST])
        self.assertEqual(self.version_file(), b"1.0.0\n")

    # -- the differential path and its limits ----------------------------------------------
    def changed(self, files, count, version):
        new = dict(files)
        for i in range(count):
            new["kel_plugin_center/lib/part_%03d.rb" % i] = "# part %d changed in %s\n" % (i, version)
        return new

    def test_thirty_changed_files_are_fetched_one_by_one(self):
        # One large file keeps 30 small changes far below 70 % of the package.
        big = os.urandom(256 * 1024)
        v1 = plugin_tree(120, big=big)
        self.publish(v1, "1.0.0")
        self.assertTrue(self.install()["success"])
        v2 = self.changed(v1, 30, "2.0.0")
        data = self.publish(v2, "2.0.0")
        result = self.install()
        self.assertTrue(result["success"], result["message"])
        self.assertTrue(result["isUpdate"])
        self.assertEqual((result["downloadedCount"], result["writtenCount"],
                          result["unchangedCount"]), (30, 30, 92))
        digests = {f["relativePath"]: f["sha256"] for f in data["files"]}
        changed = ["kel_plugin_center/lib/part_%03d.rb" % i for i in range(30)]
        # Up to four at a time: the order of arrival is the network's.
        self.assertEqual(sorted(self.backend.request_paths()),
                         sorted([LATEST] + [BLOB + digests[p] for p in changed]))
        self.assertEqual(result["progress"],
                         [[10, "正在比对本地插件中心文件差异..."]]
                         + [[15 + 80 * k // 30, "正在差异化下载更新 (%d/30): %s" % (k, changed[k - 1])]
                            for k in range(1, 31)]
                         + [[100, "差异化更新完成！"]])
        self.assert_tree(v2)
        self.assertEqual(self.version_file(), b"2.0.0\n")

    def test_thirty_one_changed_files_switch_to_the_package(self):
        v1 = plugin_tree(120, big=os.urandom(256 * 1024))
        self.publish(v1, "1.0.0")
        self.assertTrue(self.install()["success"])
        v2 = self.changed(v1, 31, "2.0.0")
        self.publish(v2, "2.0.0")
        result = self.install()
        self.assertTrue(result["success"], result["message"])
        self.assertTrue(result["isUpdate"])
        self.assertEqual((result["downloadedCount"], result["writtenCount"],
                          result["unchangedCount"]), (1, 31, 91))
        self.assertEqual(self.backend.request_paths(), [LATEST, ZIP])
        self.assertEqual(self.split_progress(result["progress"]),
                         [(10, "正在比对本地插件中心文件差异..."),
                          (15, "改动文件较多，正在下载新版完整更新包..."),
                          (70, "正在校验并解压安装文件...")]
                         + self.write_steps(122, "正在应用差异更新文件...")
                         + [(100, "更新完成！")])
        self.assert_tree(v2)
        self.assertEqual(self.version_file(), b"2.0.0\n")

    def test_seventy_percent_of_the_package_switches_unless_its_size_is_unknown(self):
        v1 = plugin_tree(10, big=os.urandom(128 * 1024))
        self.publish(v1, "1.0.0")
        self.assertTrue(self.install()["success"])
        v2 = dict(v1)
        v2["kel_plugin_center/bin/data.bin"] = os.urandom(128 * 1024)
        self.publish(v2, "2.0.0")
        self.assertEqual(self.install()["downloadedCount"], 1)
        self.assertEqual(self.backend.request_paths(), [LATEST, ZIP])
        self.assert_tree(v2)

        v3 = dict(v2)
        v3["kel_plugin_center/bin/data.bin"] = os.urandom(128 * 1024)
        data = self.publish(v3, "3.0.0")
        data["fileSizeBytes"] = 0
        release_builder.save_release(self.release_dir, data)
        result = self.install()
        self.assertTrue(result["success"], result["message"])
        digest = [f["sha256"] for f in data["files"]
                  if f["relativePath"] == "kel_plugin_center/bin/data.bin"][0]
        self.assertEqual(self.backend.request_paths(), [LATEST, BLOB + digest])
        self.assert_tree(v3)

        # A size from the server whose 70 % would wrap around in 64 bits (7 x size = 2^64 + 5)
        # must not make a one-file change look like most of the package.
        v4 = dict(v3)
        v4["kel_plugin_center/bin/data.bin"] = os.urandom(128 * 1024)
        data = self.publish(v4, "4.0.0")
        data["fileSizeBytes"] = (2 ** 64 + 6) // 7
        release_builder.save_release(self.release_dir, data)
        result = self.install()
        self.assertTrue(result["success"], result["message"])
        digest = [f["sha256"] for f in data["files"]
                  if f["relativePath"] == "kel_plugin_center/bin/data.bin"][0]
        self.assertEqual(self.backend.request_paths(), [LATEST, BLOB + digest])
        self.assert_tree(v4)

    def test_managed_plugins_are_never_compared_fetched_or_written(self):
        v1 = plugin_tree(40)
        self.publish(v1, "1.0.0")
        self.assertTrue(self.install()["success"])
        registry = os.path.join(kel_e2e.find_path(self.plugins, "kel_plugin_center"), "managed_plugins",
                                "plugin_registry.json")
        os.makedirs(os.path.dirname(registry))
        with open(registry, "wb") as stream:
            stream.write(b'{"user": "data"}')
        v2 = self.changed(v1, 2, "2.0.0")
        v2["kel_plugin_center/managed_plugins/plugin_registry.json"] = "{}"
        v2["KEL_PLUGIN_CENTER/Managed_Plugins/other.json"] = "{}"
        data = self.publish(v2, "2.0.0")
        # Rooted manifest paths would leave the Plugins folder: never fetched or written.
        hostile = dict(data["files"][0])
        for path in ("/kel_escaped.rb", "\\kel_escaped.rb", "\\\\host\\share\\x.rb"):
            data["files"].append(dict(hostile, relativePath=path))
        release_builder.save_release(self.release_dir, data)
        result = self.install()
        self.assertTrue(result["success"], result["message"])
        self.assertEqual(result["downloadedCount"], 2)
        self.assertEqual(len(self.backend.request_paths()), 3)
        self.assertFalse(os.path.exists(os.path.join(kel_e2e.DRIVE_C, "kel_escaped.rb")))
        # The package path skips them as well.
        v3 = self.changed(v2, 35, "3.0.0")
        self.publish(v3, "3.0.0")
        result = self.install()
        self.assertTrue(result["success"], result["message"])
        self.assertEqual(self.backend.request_paths(), [LATEST, ZIP])
        with open(registry, "rb") as stream:
            self.assertEqual(stream.read(), b'{"user": "data"}')
        self.assertEqual(sorted(os.listdir(os.path.dirname(registry))), ["plugin_registry.json"])

    def test_linked_plugins_folder_is_refused(self):
        self.publish(plugin_tree(3), "1.0.0")
        elsewhere = os.path.join(self.root, "elsewhere")
        os.makedirs(elsewhere)
        os.symlink(elsewhere, os.path.join(self.root, "Linked"))
        result = self.install(plugins="Linked")
        self.assertFalse(result["success"])
        self.assertEqual(result["message"], "目标 SketchUp Plugins 目录路径不安全或无效")
        self.assertEqual(result["progress"], [])
        self.assertEqual(os.listdir(elsewhere), [])
        self.assertEqual(self.backend.request_paths(), [LATEST])

    def test_blob_with_a_wrong_digest_stops_the_update(self):
        v1 = plugin_tree(40)
        self.publish(v1, "1.0.0")
        self.assertTrue(self.install()["success"])
        self.publish(self.changed(v1, 3, "2.0.0"), "2.0.0")
        self.backend.fail("wrong_digest", "blob")
        result = self.install()
        self.assertFalse(result["success"])
        self.assertRegex(result["message"],
                         r"^下载文件 SHA-256 校验失败 \(期望 [0-9a-f]{64}, 实际 [0-9a-f]{64}\)$")
        self.assertEqual(result["downloadedCount"], 0)
        self.assertEqual(len(self.backend.request_paths()), 4)
        self.assertEqual(self.version_file(), b"1.0.0\n")
        self.assert_tree(v1)

    def test_package_update_stopped_by_a_held_file_puts_every_file_back(self):
        # Every file that differs is probed before the first write: the held one stops the
        # update before anything changed (the take-back after a write is the unit tests').
        v1, v2 = plugin_tree(6, "1"), plugin_tree(6, "2")
        v2["kel_plugin_center/lib/new/added.rb"] = "# new in release 2\n"
        package_v1, _ = self.write_zip("v1.zip", v1)
        package_v2, _ = self.write_zip("v2.zip", v2)
        self.assertTrue(self.install("--package", package_v1)["success"])
        before = kel_e2e.tree_bytes(self.plugins)
        held = self.win_root + "\\Plugins\\kel_plugin_center\\lib\\part_003.rb"
        with kel_e2e.holding(self.profile, "--lock", held):
            result = self.install("--package", package_v2)
        self.assertFalse(result["success"])
        self.assertEqual(result["message"], "写入文件被占用或拒绝访问: " + held)
        self.assertEqual(result["writtenCount"], 0)
        self.assertEqual(kel_e2e.tree_bytes(self.plugins), before)
        self.assertTrue(self.install("--package", package_v2)["success"])
        self.assert_tree(v2)
        self.assertEqual([name for name in kel_e2e.tree_bytes(self.plugins) if ".old." in name], [])

    # -- packages --------------------------------------------------------------------------
    def write_zip(self, name, entries):
        path = os.path.join(self.root, name)
        with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
            for entry, content in entries.items():
                archive.writestr(entry, content)
        return self.win_root + "\\" + name, path

    def test_package_layouts_install_alike(self):
        files = {"kel_plugin_center.rb": "loader", "kel_plugin_center/bin/x.rb": "x",
                 "kel_plugin_center/VERSION": "9.9.9\n"}
        layouts = {
            "top.zip": {"kel-1.2/" + k: v for k, v in files.items()},
            "plugins.zip": {"kel-1.2/Plugins/" + k: v for k, v in files.items()},
            "flat.zip": dict(files),
        }
        layouts["top.zip"]["__MACOSX/kel-1.2/._x.rb"] = "mac"
        self.publish(plugin_tree(3), "1.0.0")
        for name, entries in layouts.items():
            win_zip, unix_zip = self.write_zip(name, entries)
            target = "P_" + name
            self.plugins = os.path.join(self.root, target)
            result = self.install("--package", win_zip, "--fetch", plugins=target)
            self.assertTrue(result["success"], (name, result["message"]))
            self.assertEqual(self.backend.request_paths(), [LATEST])
            self.assertEqual(result["writtenCount"], 3, name)
            self.assert_tree(files)
            self.assertEqual(sorted(os.listdir(self.plugins)),
                             ["kel_plugin_center", "kel_plugin_center.rb"], name)
            self.assertTrue(os.path.isfile(unix_zip), "the offline package is the user's")

    def test_offline_package_without_version_and_missing_package(self):
        self.publish(plugin_tree(3), "1.0.0")
        win_zip, unix_zip = self.write_zip("offline.zip", {"kel_plugin_center/a.rb": "a"})
        result = self.install("--package", win_zip)
        self.assertTrue(result["success"], result["message"])
        self.assertEqual(result["downloadedCount"], 0)
        self.assertIsNone(self.version_file())
        self.assertEqual(self.backend.request_paths(), [])
        self.assertTrue(os.path.isfile(unix_zip))
        # With a release, a package without VERSION gets the release's.
        self.assertTrue(self.install("--package", win_zip, "--fetch")["success"])
        self.assertEqual(self.version_file(), b"1.0.0\n")

        result = self.install("--package", self.win_root + "\\missing.zip", plugins="Other")
        self.assertFalse(result["success"])
        self.assertEqual(result["message"], "指定的本地安装包不存在")
        self.assertEqual(result["progress"], [])

    def test_zip_slip_package_writes_nothing(self):
        win_zip, _ = self.write_zip("slip.zip", {"kel_plugin_center/a.rb": "a",
                                                 "../escaped.rb": "evil"})
        result = self.install("--package", win_zip)
        self.assertFalse(result["success"])
        self.assertEqual(result["message"], "压缩包包含越权路径 (Zip Slip): ../escaped.rb")
        self.assertEqual(os.listdir(self.plugins), [])
        self.assertFalse(os.path.exists(os.path.join(self.root, "escaped.rb")))


if __name__ == "__main__":
    unittest.main()
