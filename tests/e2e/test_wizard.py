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
IDC_AUTO_LAUNCH = 1006
IDC_INSTALL, IDC_UNINSTALL, IDC_CLOSE = 1010, 1011, 1012
TAB_ORDER = [1004, 1005, 1006, 1007, 1010, 1011, 1012, 1003]
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
LATEST = "/v3/installer/latest"


def wait_for_rows_after_query(wizard, timeout=60):
    """The wizard's dump once the release query's answer has rebuilt the list."""
    # The status line changes just before the list is rebuilt.
    wizard.wait_text(IDC_SERVER_STATUS, "服务器最新版本：v")
    deadline = time.time() + timeout
    while True:
        dump = wizard.dump()
        if any("v2.0.0" in r["label"] for r in dump["rows"]) or time.time() > deadline:
            return dump
        time.sleep(0.25)


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

    def wizard(self, backend, *args, env=None):
        wizard = Wizard(self.display, self.profile, "--origin", backend.origin, *args, env=env)
        self.addCleanup(wizard.kill)
        return wizard

    def rows_after_query(self, wizard):
        return wait_for_rows_after_query(wizard)

    def launches(self, record, expect):
        """The plugin manager's recorded starts; waits for `expect` of them (it is detached)."""
        deadline = time.time() + (15 if expect else 2)
        records = []
        while time.time() < deadline:
            if os.path.exists(record):
                with open(record, encoding="utf-8") as stream:
                    records = [r for r in stream.read().split("\n\n") if r.strip()]
                if expect and len(records) >= expect:
                    break
            time.sleep(0.2)
        return [dict(line.split("=", 1) for line in r.splitlines()) for r in records]

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
        backend = self.backend(hold_metadata=True)
        wizard = self.wizard(backend)
        backend.wait_for_requests(LATEST, 1)
        before = wizard.dump()
        backend.release_metadata()
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
        # Closing mid-operation (Esc like the close box) asks first; No keeps the operation.
        wizard.keys("escape")
        box = wizard.box("no")
        self.assertEqual(box["title"], "操作进行中")

        # Yes ends the process while the worker still waits for the package: a clean exit
        # with 0, and nothing half-written.
        wizard.probe("close")
        self.assertEqual(wizard.box("yes")["title"], "操作进行中")
        self.assertEqual(wizard.exit_code(), 0)
        backend.release_package()
        self.assertFalse(os.path.exists(os.path.join(self.profile.plugins_unix(2025),
                                                     "kel_plugin_center")))

    def test_closing_during_the_startup_query_exits_cleanly(self):
        self.profile.add_sketchup(2025)
        backend = self.backend(hold_metadata=True)
        wizard = self.wizard(backend)
        backend.wait_for_requests(LATEST, 1)
        wizard.dump()
        wizard.probe("close")
        self.assertEqual(wizard.exit_code(20), 0)
        # The query was still waiting for its answer when the window went.
        self.assertFalse(backend.metadata_gate.is_set())

    def test_keyboard_and_the_launch_after_an_install(self):
        self.profile.add_sketchup(2025)
        self.profile.add_sketchup(2024)
        backend = self.backend(with_manager=True)
        record = os.path.join(self.profile.unix, "launches.txt")
        wizard = Wizard(self.display, self.profile, "--origin", backend.origin,
                        env={"KEL_MANAGER_RECORD": self.profile.win + "\\launches.txt"})
        self.addCleanup(wizard.kill)
        self.rows_after_query(wizard)
        # Focus starts on the list; Tab walks the controls in visual order, Shift+Tab back.
        self.assertEqual(wizard.keys(*["tab"] * 8), TAB_ORDER)
        self.assertEqual(wizard.keys("shift+tab", "tab"), [1012, 1003])
        wizard.keys("space")
        self.assertEqual([state for _, state in rows(wizard.dump())], [UNCHECKED, CHECKED])
        wizard.keys("space")
        self.assertEqual([state for _, state in rows(wizard.dump())], [CHECKED, CHECKED])

        # Enter installs; the manager starts once, for the first folder.
        wizard.keys("return")
        done = wizard.box("ok", 60000)
        self.assertEqual(done["title"], "安装 / 更新完成")
        self.assertTrue(done["text"].startswith("已完成 2 个 SketchUp 版本的安装/更新！"), done["text"])
        self.assertEqual(wizard.dump()["progress"], 100)
        # The second version is installed from the package the first one fetched.
        self.assertEqual(backend.requests.count("/v3/installer/download/zip"), 1)
        launches = self.launches(record, 1)
        self.assertEqual([l["KEL_PLUGINS_DIR"] for l in launches], [self.profile.plugins_win(2025)])

        # With the box cleared a completed install starts nothing.
        wizard.probe("click", IDC_AUTO_LAUNCH)
        wizard.probe("check-row", 1, 1)
        wizard.probe("click", IDC_INSTALL)
        self.assertEqual(wizard.box("ok", 60000)["title"], "安装 / 更新完成")
        self.assertEqual(len(self.launches(record, 0)), 1)

        # Esc while idle closes like the close box.
        wizard.keys("escape")
        self.assertEqual(wizard.exit_code(), 0)

    def test_help_box_lists_the_options_and_exits_0(self):
        for spelling in ("--help", "-h", "/?"):
            wizard = Wizard(self.display, self.profile, spelling)
            self.addCleanup(wizard.kill)
            box = wizard.box("ok")
            self.assertEqual(box["title"], "Kel 插件中心 & 管理器 安装工具")
            self.assertIn("--log 文件", box["text"])
            self.assertIn("4\t安装或卸载失败", box["text"])
            self.assertEqual(wizard.exit_code(), 0)

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
        wizard.probe("wait-process", "SketchUp.exe")
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

    def test_uninstall_mode_takes_exactly_the_folders_holding_the_center(self):
        self.profile.add_sketchup(2025, "2.0.0")  # up to date: the query would not select it
        self.profile.add_sketchup(2024)
        backend = self.backend()
        wizard = self.wizard(backend, "--uninstall")
        box = wizard.box("ok", 60000)
        self.assertEqual(box["title"], "卸载与还原结果")
        self.assertEqual(wizard.exit_code(), 0)
        self.assertFalse(os.path.exists(
            os.path.join(self.profile.plugins_unix(2025), "kel_plugin_center")))
        self.assertEqual(os.listdir(self.profile.plugins_unix(2024)), [])

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

        # A "--target" that kept only the center's loader and gate is still cleaned up.
        leftovers = os.path.join(self.profile.root, "Other", "Plugins")
        os.makedirs(leftovers)
        for name in ("kel_plugin_center.rb", "!kel-plugin-gate.rb", "user_plugin.rb"):
            with open(os.path.join(leftovers, name), "w") as stream:
                stream.write("# %s\n" % name)
        wizard = self.wizard(backend, "--uninstall", "--target", kel_e2e.to_windows(leftovers))
        self.assertEqual(wizard.box("ok", 60000)["title"], "卸载与还原结果")
        self.assertEqual(wizard.exit_code(), 0)
        self.assertEqual(os.listdir(leftovers), ["user_plugin.rb"])

    def test_without_the_network_dll_the_query_fails_and_uninstall_still_works(self):
        self.profile.add_sketchup(2025, "1.0.0")
        backend = self.backend()
        wizard = self.wizard(backend, env={"WINEDLLOVERRIDES": "winhttp=d;mscoree,mshtml=;winemenubuilder.exe=d"})
        status = wizard.wait_text(IDC_SERVER_STATUS, "暂无法连接官网版本服务：")
        self.assertTrue(status.endswith("（仍可执行本地卸载）"), status)
        dump = wizard.dump()
        self.assertTrue(all(c["enabled"] for c in dump["controls"] if c["id"] in (IDC_UNINSTALL, IDC_INSTALL)))
        wizard.probe("click", IDC_UNINSTALL)
        self.assertEqual(wizard.box("yes")["title"], "确认卸载 Kel 插件管理器")
        self.assertEqual(wizard.box("ok", 60000)["title"], "卸载与还原结果")
        self.assertFalse(os.path.exists(os.path.join(self.profile.plugins_unix(2025), "kel_plugin_center")))
        self.assertEqual(backend.requests, [])
        self.close(wizard)


@unittest.skipUnless(shutil.which("Xvfb") and shutil.which("import"), "Xvfb or ImageMagick missing")
class WizardAt144Dpi(unittest.TestCase):
    """The wizard on a 144-dpi display: the 96-dpi layout scaled by 1.5, no text clipped."""

    def test_window_controls_and_texts_scale(self):
        display = Display("1280x1024")
        self.addCleanup(display.close)
        profile = Profile()
        self.addCleanup(profile.remove)
        profile.add_sketchup(2025, "1.2.0")
        profile.add_sketchup(2024)
        backend = Backend()
        self.addCleanup(backend.close)
        wizard = Wizard(display, profile, "--origin", backend.origin, env={"KEL_WIZARD_DPI": "144"})
        self.addCleanup(wizard.kill)
        # Measured once start-up is over: the query's answer has rebuilt the list.
        wait_for_rows_after_query(wizard)
        measured = wizard.probe("measure", 144)
        width, height = measured["window"]
        self.assertLessEqual(abs(width - 656 * 1.5), 1, measured["window"])
        self.assertLessEqual(abs(height - 502 * 1.5), 1, measured["window"])
        for control, (cid, _, _, rect) in zip(measured["controls"], EXPECTED_CONTROLS):
            self.assertEqual(control["id"], cid)
            for got, at96 in zip(control["rect"], rect):
                self.assertLessEqual(abs(got - at96 * 1.5), 1, (cid, control["rect"]))
            text_width, text_height = control["extent"]
            # Check boxes lose their box and gap, buttons their frame.
            room = control["rect"][2] - (30 if cid in (1006, 1007) else 12 if cid >= 1004 else 0)
            self.assertLessEqual(text_width, room, (cid, control["text"], control["extent"]))
            self.assertLessEqual(text_height, control["rect"][3], (cid, control["extent"]))
        shot = os.path.join(BUILD, "wizard_144dpi.png")
        display.screenshot(shot)
        self.assertGreater(os.path.getsize(shot), 10000)
        wizard.probe("click", IDC_CLOSE)
        self.assertEqual(wizard.exit_code(), 0)


if __name__ == "__main__":
    unittest.main()
