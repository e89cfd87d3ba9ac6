"""The wizard window of the real KelSetup.exe under Wine, read and driven by wizard_probe."""
import os
import shutil
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
import kel_e2e  # noqa: E402
from wizard_e2e import BIN, BUILD, Backend, Display, Profile, Wizard  # noqa: E402

HINT = "未自动检测到本机 SketchUp 目录，请点击右侧“浏览 Plugins 目录”手动选择"
IDC_SERVER_STATUS, IDC_TARGET_LIST, IDC_STATUS = 1002, 1003, 1009
IDC_INSTALL, IDC_UNINSTALL, IDC_CLOSE = 1010, 1011, 1012
CHECKED, UNCHECKED = 2, 1

EXPECTED_CONTROLS = [
    (1001, "Static", "Kel 插件中心 & 管理器 安装向导", [22, 16, 460, 28]),
    (1002, "Static", None, [22, 48, 560, 22]),
    (1003, "SysListView32", "", [22, 80, 596, 175]),
    (1004, "Button", "浏览 Plugins 目录...", [22, 265, 160, 28]),
    (1005, "Button", "重新检测版本", [192, 265, 120, 28]),
    (1006, "Button", "安装或更新完成后自动启动插件管理器并引导登录", [22, 304, 420, 22]),
    (1007, "Button", "卸载时同时清理全局登录凭据与本地缓存配置", [22, 330, 420, 22]),
    (1008, "msctls_progress32", "", [22, 362, 596, 18]),
    (1009, "Static", "请勾选要处理的 SketchUp 版本，然后选择安装、更新或卸载。", [22, 386, 596, 22]),
    (1010, "Button", "安装 / 更新选中版本", [22, 418, 190, 34]),
    (1011, "Button", "卸载选中版本的管理器", [224, 418, 190, 34]),
    (1012, "Button", "关闭", [518, 418, 100, 34]),
]
SS_NOPREFIX = 0x80


def rows(dump):
    return [(r["label"], r["stateImage"]) for r in dump["rows"]]


@unittest.skipUnless(shutil.which("Xvfb") and shutil.which("import"), "Xvfb or ImageMagick missing")
class WizardWindow(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.display = Display()

    @classmethod
    def tearDownClass(cls):
        cls.display.close()

    def setUp(self):
        self.profile = Profile()
        self.addCleanup(self.profile.remove)

    def backend(self, **kwargs):
        backend = Backend(**kwargs)
        self.addCleanup(backend.close)
        return backend

    def wizard(self, backend, *args):
        wizard = Wizard(self.display, self.profile, "--origin", backend.origin, *args)
        self.addCleanup(wizard.kill)
        return wizard

    def rows_after_query(self, wizard):
        # The status line changes just before the list is rebuilt.
        wizard.wait_text(IDC_SERVER_STATUS, "服务器最新版本：v")
        for _ in range(40):
            dump = wizard.dump()
            if any("v2.0.0" in r["label"] for r in dump["rows"]):
                return dump
            time.sleep(0.25)
        return dump

    def close(self, wizard):
        wizard.probe("click", IDC_CLOSE)
        self.assertEqual(wizard.exit_code(), 0)

    def test_controls_and_no_sketchup_refuses_install(self):
        backend = self.backend()
        wizard = self.wizard(backend)
        status = wizard.wait_text(IDC_SERVER_STATUS, "服务器最新版本：v")
        self.assertEqual(status, "服务器最新版本：v2.0.0  |  完整包大小：%d KB（已安装版本将自动走差异化更新）"
                         % (backend.metadata["data"]["fileSizeBytes"] // 1024))
        dump = wizard.dump()
        self.assertEqual(dump["title"], "Kel 插件中心 & 管理器 安装工具")
        controls = dump["controls"]
        self.assertEqual([c["id"] for c in controls], [c[0] for c in EXPECTED_CONTROLS])
        for control, (cid, cls, text, rect) in zip(controls, EXPECTED_CONTROLS):
            self.assertEqual(control["class"].lower(), cls.lower(), cid)
            if text is not None:
                self.assertEqual(control["text"], text, cid)
            self.assertEqual(control["rect"], rect, cid)
            self.assertTrue(control["enabled"] and control["visible"], cid)
            if cls == "Static":
                self.assertTrue(control["style"] & SS_NOPREFIX, "%d shows & as a mnemonic" % cid)
        self.assertEqual([c.get("checked") for c in controls if c["id"] in (1006, 1007)],
                         [True, False])
        self.assertEqual(rows(dump), [(HINT, UNCHECKED)])

        wizard.probe("click", IDC_INSTALL)
        box = wizard.box("ok")
        self.assertEqual((box["title"], box["text"]), ("提示", "请至少勾选一个 SketchUp 版本或 Plugins 目录。"))
        wizard.probe("click", IDC_UNINSTALL)
        box = wizard.box("ok")
        self.assertEqual((box["title"], box["text"]), ("提示", "请先勾选需要卸载插件管理器的 SketchUp 版本。"))
        self.assertEqual([r for r in backend.requests if "download" in r], [])
        self.close(wizard)

    def test_rows_checked_before_the_query_and_unchecked_when_up_to_date(self):
        self.profile.add_sketchup(2025, "2.0.0")
        self.profile.add_sketchup(2024, "1.2.0")
        self.profile.add_sketchup(2023)
        backend = self.backend(metadata_delay=4)
        wizard = self.wizard(backend)
        before = wizard.dump()
        self.assertEqual(rows(before), [
            ("SketchUp 2025  —  已安装 v2.0.0", CHECKED),
            ("SketchUp 2024  —  已安装 v1.2.0", CHECKED),
            ("SketchUp 2023  —  未安装", CHECKED)])
        after = self.rows_after_query(wizard)
        self.assertEqual(rows(after), [
            ("SketchUp 2025  —  已安装 v2.0.0  （已是最新）", UNCHECKED),
            ("SketchUp 2024  —  已安装 v1.2.0  →  可差异更新至 v2.0.0", CHECKED),
            ("SketchUp 2023  —  未安装（将全量安装 v2.0.0）", CHECKED)])
        shot = os.path.join(BUILD, "wizard_after_query.png")
        self.display.screenshot(shot)
        self.assertGreater(os.path.getsize(shot), 10000)
        self.close(wizard)

    def test_target_in_other_case_and_unknown_target(self):
        self.profile.add_sketchup(2025)
        plugins_2024 = self.profile.add_sketchup(2024)
        backend = self.backend()
        wizard = self.wizard(backend, "--target", plugins_2024.upper())
        self.assertEqual([state for _, state in rows(self.rows_after_query(wizard))],
                         [UNCHECKED, CHECKED])
        self.close(wizard)

        unknown = self.profile.win + "\\Elsewhere\\Plugins"
        wizard = self.wizard(backend, "--target", unknown)
        self.assertEqual(rows(self.rows_after_query(wizard)), [
            ("自定义目录 (%s)  —  未安装（将全量安装 v2.0.0）" % unknown, CHECKED),
            ("SketchUp 2025  —  未安装（将全量安装 v2.0.0）", UNCHECKED),
            ("SketchUp 2024  —  未安装（将全量安装 v2.0.0）", UNCHECKED)])
        self.close(wizard)

    def test_update_installs_the_checked_rows_and_closes_with_0(self):
        self.profile.add_sketchup(2025, "2.0.0")
        self.profile.add_sketchup(2024)
        self.profile.add_sketchup(2023)
        backend = self.backend()
        wizard = self.wizard(backend, "--update", "--no-launch")
        self.assertEqual(wizard.exit_code(90), 0)
        for year in (2024, 2023):
            center = os.path.join(self.profile.plugins_unix(year), "kel_plugin_center")
            self.assertEqual(open(kel_e2e.find_path(center, "VERSION")).read(), "2.0.0\n")
            self.assertTrue(os.path.isfile(os.path.join(center, "lib", "core.rb")))
        self.assertFalse(os.path.exists(
            os.path.join(self.profile.plugins_unix(2025), "kel_plugin_center", "main.rb")))

    def test_update_with_everything_up_to_date_stays_open(self):
        self.profile.add_sketchup(2025, "2.0.0")
        backend = self.backend()
        wizard = self.wizard(backend, "--update")
        self.rows_after_query(wizard)
        time.sleep(2)
        self.assertIsNone(wizard.process.poll())
        dump = wizard.dump()
        self.assertEqual(rows(dump), [("SketchUp 2025  —  已安装 v2.0.0  （已是最新）", UNCHECKED)])
        self.assertTrue(all(c["enabled"] for c in dump["controls"]))
        self.assertEqual([r for r in backend.requests if "download" in r], [])
        self.close(wizard)

    def test_failed_install_reports_and_enables_the_controls_again(self):
        self.profile.add_sketchup(2025)
        backend = self.backend(package_status=500)
        wizard = self.wizard(backend)
        wizard.wait_text(IDC_SERVER_STATUS, "服务器最新版本：v")
        wizard.probe("click", IDC_INSTALL)
        box = wizard.box("ok", 60000)
        self.assertEqual(box["title"], "操作提示")
        self.assertTrue(box["text"].startswith("安装/更新未能完成："), box["text"])
        dump = wizard.dump()
        self.assertTrue(all(c["enabled"] for c in dump["controls"]))
        self.assertEqual(dump["progress"], 0)
        status = [c["text"] for c in dump["controls"] if c["id"] == IDC_STATUS][0]
        self.assertEqual(status.replace("\r\n", "\n"), box["text"].replace("\r\n", "\n"))
        self.close(wizard)

    def test_two_directories_share_the_progress_and_closing_while_busy_asks_first(self):
        self.profile.add_sketchup(2025)
        self.profile.add_sketchup(2024)
        backend = self.backend(hold_package=True)
        wizard = self.wizard(backend, "--no-launch")
        self.rows_after_query(wizard)
        wizard.probe("click", IDC_INSTALL)
        zip_path = "/v3/installer/download/zip"

        backend.wait_for_requests(zip_path, 1)
        first = wizard.dump()
        self.assertLess(first["progress"], 50)
        self.assertFalse(any(c["enabled"] for c in first["controls"]
                             if c["id"] in (1003, 1004, 1005, 1006, 1007, 1010, 1011, 1012)))
        # Closing mid-operation asks first; No keeps the window and the operation.
        wizard.probe("close")
        box = wizard.box("no")
        self.assertEqual(box["title"], "操作进行中")
        backend.release_package()

        done = wizard.box("ok", 60000)
        self.assertEqual(done["title"], "安装 / 更新完成")
        self.assertTrue(done["text"].startswith("已完成 2 个 SketchUp 版本的安装/更新！"), done["text"])
        self.assertEqual(wizard.dump()["progress"], 100)
        # The second version is installed from the package the first one fetched.
        self.assertEqual(backend.requests.count(zip_path), 1)
        self.close(wizard)

    def test_sketchup_running_prompts_retry_and_cancel(self):
        self.profile.add_sketchup(2025, "1.0.0")
        sketchup = os.path.join(self.profile.unix, "SketchUp.exe")
        shutil.copy(os.path.join(BIN, "app_sleeper.exe"), sketchup)
        backend = self.backend()
        wizard = self.wizard(backend)
        running = subprocess.Popen(["wine", sketchup, "60000"], env=wizard.env,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (running.kill(), running.wait()))
        wizard.wait_text(IDC_SERVER_STATUS, "服务器最新版本：v")
        time.sleep(1)
        wizard.probe("click", IDC_UNINSTALL)
        confirm = wizard.box("yes")
        self.assertEqual(confirm["title"], "确认卸载 Kel 插件管理器")
        self.assertTrue(confirm["text"].startswith("卸载插件管理器将按以下顺序安全处理："))
        self.assertTrue(confirm["text"].endswith("确定继续卸载吗？"))
        prompt = wizard.box("retry")
        self.assertEqual(prompt["title"], "提示关闭 SketchUp")
        self.assertEqual(prompt["text"], "检测到 SketchUp 正在运行，请先保存模型并关闭 SketchUp，"
                                         "再点击“重试”完成卸载与还原。")
        self.assertEqual(wizard.box("cancel")["title"], "提示关闭 SketchUp")
        dump = wizard.dump()
        self.assertTrue(all(c["enabled"] for c in dump["controls"]))
        self.assertTrue(os.path.isdir(os.path.join(self.profile.plugins_unix(2025), "kel_plugin_center")))
        self.close(wizard)

        # The automatic uninstall's prompt: Cancel ends the program.
        wizard = self.wizard(backend, "--uninstall")
        prompt = wizard.box("cancel", 30000)
        self.assertEqual(prompt["title"], "Kel 插件管理器卸载提示")
        self.assertEqual(wizard.exit_code(), 0)
        self.assertTrue(os.path.isdir(os.path.join(self.profile.plugins_unix(2025), "kel_plugin_center")))

    def test_uninstall_mode_uninstalls_reports_and_closes(self):
        self.profile.add_sketchup(2026, "1.0.0")
        plugins = self.profile.add_sketchup(2025, "2.0.0")
        backend = self.backend()
        # An up-to-date row is not pre-checked; "--target" selects it.
        wizard = self.wizard(backend, "--uninstall", "--target", plugins)
        box = wizard.box("ok", 60000)
        self.assertEqual(box["title"], "卸载与还原结果")
        self.assertTrue(box["text"].startswith("卸载处理完成！"), box["text"])
        self.assertEqual(wizard.exit_code(), 0)
        self.assertFalse(os.path.exists(
            os.path.join(self.profile.plugins_unix(2025), "kel_plugin_center")))
        self.assertTrue(os.path.isdir(
            os.path.join(self.profile.plugins_unix(2026), "kel_plugin_center")))


if __name__ == "__main__":
    unittest.main()
