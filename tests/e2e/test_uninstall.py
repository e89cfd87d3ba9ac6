"""The real KelSetup.exe --silent --uninstall under Wine, on a profile with two SketchUp
versions whose Plugins folders the program installed itself and the plugin center then
filled: marketplace plugins, user-installed plugins under management (gates, payloads,
per-user registries) and orphan gates."""
import hashlib
import json
import os
import random
import shutil
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
import kel_e2e  # noqa: E402
import release_builder  # noqa: E402

YEARS = (2025, 2024)
ROOT_GATE_MUTEX = "Local\\Kelmar.PluginManager.RootGate.v2"

GATE_PREFIX = ("# frozen_string_literal: true\n# kel_plugin_center_gate: 1\n"
               "KelPluginCenter::API.dispatch_entry('")
GATE_SUFFIX = "') if defined?(KelPluginCenter::API)\n"

CENTER_FILES = {
    "kel_plugin_center.rb": "# Kel plugin center\nrequire 'kel_plugin_center/loader'\n",
    "!kel-plugin-gate.rb": "# frozen_string_literal: true\nload 'kel_plugin_center/gate.rb'\n",
    "kel_plugin_center/loader.rb": "module KelPluginCenter; end\n",
    "kel_plugin_center/gate.rb": "# dispatches managed entries\n",
    "kel_plugin_center/lib/api.rb": "module KelPluginCenter::API; end\n",
    "kel_plugin_center/bin/KelPluginManager.exe": b"MZ" + bytes(range(256)) * 8,
}

# The user's own entry files: what must come back byte for byte.
ORIGINALS = {
    "roofer.rb": b"\xef\xbb\xbf# Roofer\r\nrequire 'sketchup.rb'\r\nSketchup.require 'roofer/main'\r\n",
    "measure_tool.rb": "# 测量工具\nSketchupExtension.new('Measure', 'measure_tool/core')\n".encode(),
    "legacy.rb": b"# legacy, managed before installSource existed\nload 'legacy/a.rb'\n",
    "lost_tool.rb": b"# a gate no registry knows any more; its copy is still stored\n",
    # Taken over in one registry, and shown to be the marketplace's in another: given back.
    "dup.rb": b"# dup: managed twice\nrequire 'dup/main'\n",
}
OWN_FILES = {
    "own_plugin.rb": b"# never managed\nrequire 'own_plugin/main'\n",
    "own_plugin/main.rb": b"puts 1\n",
}


def gate(plugin_id):
    return (GATE_PREFIX + plugin_id + GATE_SUFFIX).encode()


def sha(data):
    return hashlib.sha256(data).hexdigest()


def write(path, content):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    if isinstance(content, str):
        content = content.encode("utf-8")
    with open(path, "wb") as stream:
        stream.write(content)


def read(path):
    with open(path, "rb") as stream:
        return stream.read()


def snapshot(root):
    """Relative path -> bytes (or '<dir>') of everything below root."""
    out = {}
    for folder, dirs, files in os.walk(root):
        for name in dirs:
            out[os.path.relpath(os.path.join(folder, name), root) + "/"] = "<dir>"
        for name in files:
            full = os.path.join(folder, name)
            out[os.path.relpath(full, root)] = read(full)
    return out


def record(load_file, companion, source, original=None, icon=None):
    entry = {"name": load_file[:-3], "version": "1.0.0", "installRoot": "<plugins>",
             "loadFile": load_file, "companionName": companion, "loadPolicy": "startup",
             "indexState": "stale"}
    if source:
        entry["installSource"] = source
    if original is not None:
        entry["activeGeneration"] = sha(original)
        entry["packageHash"] = "sha256:" + sha(original)
    if icon:
        entry["cachedIcon"] = icon
    return entry


def registry(plugins):
    return json.dumps({"schemaVersion": 8, "generation": 3, "updatedAt": 1700000000,
                       "plugins": plugins}, indent=2)


def populate(plugins):
    """What the plugin center leaves in one Plugins folder after some use."""
    managed = os.path.join(plugins, "kel_plugin_center", "managed_plugins")
    alice = os.path.join(managed, "users", "alice")
    anonymous = os.path.join(managed, "users", "_unauthenticated")
    icon = "cache/icons/" + sha(b"icon") + ".png"

    def marketplace(directory, plugin_id, load_file, companion):
        write(os.path.join(plugins, load_file), gate(plugin_id))
        write(os.path.join(plugins, companion, "main.rb"), "# %s\n" % plugin_id)
        write(os.path.join(plugins, companion, "lib", "core.rb"), "# core\n")
        entry = ("# %s\nrequire '%s/main'\n" % (plugin_id, companion)).encode()
        write(os.path.join(directory, "payloads", plugin_id, sha(entry), load_file), entry)
        write(os.path.join(directory, "runtime", plugin_id, "state.json"), "{}")
        write(os.path.join(directory, "staging", plugin_id, "x.bin"), "x")

    def takeover(directory, plugin_id, load_file, companion):
        original = ORIGINALS[load_file]
        write(os.path.join(plugins, load_file), gate(plugin_id))
        write(os.path.join(directory, "payloads", plugin_id, sha(original), load_file), original)
        if companion:
            write(os.path.join(plugins, companion, "main.rb"), "# user code of %s\n" % plugin_id)

    marketplace(managed, "mk.sketchtools", "sketchtools.rb", "sketchtools")
    # An id whose case must survive every file name it lends.
    marketplace(managed, "AcmeTool", "AcmeTool.rb", "AcmeTool")
    write(os.path.join(managed, "cache", "icons", icon[len("cache/icons/"):]), b"\x89PNG")
    takeover(managed, "user.roofer", "roofer.rb", "roofer")
    takeover(managed, "user.dup", "dup.rb", "")
    write(os.path.join(managed, "plugin_registry.json"), registry({
        "mk.sketchtools": record("sketchtools.rb", "sketchtools", "marketplace", icon=icon),
        "AcmeTool": record("AcmeTool.rb", "AcmeTool", "marketplace"),
        "user.roofer": record("roofer.rb", "roofer", "local_takeover", ORIGINALS["roofer.rb"]),
        "user.dup": record("dup.rb", "", "local_takeover", ORIGINALS["dup.rb"]),
    }))

    marketplace(alice, "mk.stairs", "stairs.rb", "stairs_lib")
    takeover(alice, "user.measure", "measure_tool.rb", "measure_tool")
    takeover(alice, "user.legacy", "legacy.rb", "legacy")
    write(os.path.join(alice, "plugin_registry.json"), registry({
        "mk.stairs": record("stairs.rb", "stairs_lib", "marketplace"),
        "user.measure": record("measure_tool.rb", "measure_tool", "local_takeover",
                               ORIGINALS["measure_tool.rb"]),
        "user.legacy": record("legacy.rb", "legacy", "", ORIGINALS["legacy.rb"]),
    }))

    # A record from before installSource, shown to be the marketplace's by its receipt.
    marketplace(anonymous, "mk.render", "render.rb", "render")
    write(os.path.join(anonymous, "install_receipts", "r1.json"),
          json.dumps({"pluginId": "mk.render", "entryName": "render.rb"}))
    takeover(anonymous, "user.dup", "dup.rb", "")
    write(os.path.join(anonymous, "install_receipts", "r2.json"),
          json.dumps({"pluginId": "user.dup", "entryName": "dup.rb"}))
    write(os.path.join(anonymous, "plugin_registry.json"), registry({
        "mk.render": record("render.rb", "render", ""),
        "user.dup": record("dup.rb", "", "", ORIGINALS["dup.rb"]),
    }))

    # Orphans: one with a stored copy, one without.
    takeover(managed, "user.lost", "lost_tool.rb", "")
    write(os.path.join(plugins, "ghost.rb"), gate("user.ghost"))

    for relative, content in OWN_FILES.items():
        write(os.path.join(plugins, *relative.split("/")), content)


def expected_plugins_folder():
    """Everything a Plugins folder holds after a complete uninstall."""
    out = {name: content for name, content in ORIGINALS.items()}
    for companion in ("roofer", "measure_tool", "legacy"):
        out[companion + "/"] = "<dir>"
    out[os.path.join("roofer", "main.rb")] = b"# user code of user.roofer\n"
    out[os.path.join("measure_tool", "main.rb")] = b"# user code of user.measure\n"
    out[os.path.join("legacy", "main.rb")] = b"# user code of user.legacy\n"
    out["own_plugin/"] = "<dir>"
    for relative, content in OWN_FILES.items():
        out[os.path.join(*relative.split("/"))] = content
    return out


class UninstallEndToEnd(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.release_dir = tempfile.mkdtemp(prefix="kel_uninstall_release_")
        release_builder.build_release_from_files(CENTER_FILES, cls.release_dir, "3.2.0")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.release_dir, ignore_errors=True)

    def setUp(self):
        self.profile = kel_e2e.Profile("uninstall")
        self.addCleanup(self.profile.remove)
        package = os.path.join(self.profile.root, "package.zip")
        shutil.copyfile(os.path.join(self.release_dir, "package.zip"), package)
        for year in YEARS:
            self.profile.make_plugins_dir(year)
        result = self.run_program("KelSetup.exe", "--install-silent", "--no-launch", "--package",
                                  kel_e2e.to_windows(package))
        self.assertEqual(result.exit_code, 0, result)
        for year in YEARS:
            plugins = self.profile.plugins_dir(year)
            self.assertEqual(read(os.path.join(plugins, "kel_plugin_center", "bin",
                                               "KelPluginManager.exe")),
                             CENTER_FILES["kel_plugin_center/bin/KelPluginManager.exe"])
            populate(plugins)
        self.make_global_folders()

    def make_global_folders(self):
        write(os.path.join(self.profile.local, "KelPlatformV3", "active_token.txt"), "h.e30.s")
        write(os.path.join(self.profile.local, "com.kel.pluginmanager", "settings.json"), "{}")

    def run_program(self, program, *args, timeout=240):
        return kel_e2e.run_program(os.path.join(kel_e2e.BIN_DIR, program), args, self.profile,
                                   timeout=timeout)

    def uninstall(self, *args):
        result = self.run_program("KelSetup.exe", "--silent", "--uninstall", *args)
        self.assertFalse(result.timed_out, result)
        return result.exit_code

    def target(self, year):
        return kel_e2e.to_windows(self.profile.plugins_dir(year))

    def globals_exist(self):
        return (os.path.isdir(os.path.join(self.profile.local, "KelPlatformV3")),
                os.path.isdir(os.path.join(self.profile.local, "com.kel.pluginmanager")))

    def assert_decommissioned(self, year):
        self.assertEqual(snapshot(self.profile.plugins_dir(year)), expected_plugins_folder())

    def test_every_version_is_decommissioned_and_the_global_data_goes_with_the_last(self):
        self.assertEqual(self.uninstall(), 0)
        for year in YEARS:
            self.assert_decommissioned(year)
        self.assertEqual(self.globals_exist(), (False, False))
        # A second run over the clean folders has nothing left to do and still succeeds.
        self.assertEqual(self.uninstall(), 0)
        for year in YEARS:
            self.assert_decommissioned(year)

    def test_global_data_stays_while_another_version_keeps_the_center_unless_asked(self):
        self.assertEqual(self.uninstall("--target", self.target(2025)), 0)
        self.assert_decommissioned(2025)
        self.assertTrue(os.path.isdir(os.path.join(self.profile.plugins_dir(2024),
                                                   "kel_plugin_center")))
        self.assertEqual(self.globals_exist(), (True, True))
        # Asked to purge, the global data goes although 2024 still has the center.
        self.assertEqual(self.uninstall("--purge-global", "--target", self.target(2025)), 0)
        self.assertEqual(self.globals_exist(), (False, False))
        self.assertTrue(os.path.isdir(os.path.join(self.profile.plugins_dir(2024),
                                                   "kel_plugin_center")))

    def reset(self, pristine):
        """Back to the populated state a snapshot was taken of."""
        for year in YEARS:
            plugins = self.profile.plugins_dir(year)
            shutil.rmtree(plugins)
            os.makedirs(plugins)
            for relative, content in pristine[year].items():
                if content == "<dir>":
                    os.makedirs(os.path.join(plugins, relative), exist_ok=True)
                else:
                    write(os.path.join(plugins, relative), content)
        self.make_global_folders()

    def assert_user_bytes_safe(self, year):
        """Every user entry is either back in place, or still a gate (or missing) with its
        stored copy."""
        plugins = self.profile.plugins_dir(year)
        stored = set()
        for folder, _, files in os.walk(os.path.join(plugins, "kel_plugin_center")):
            for name in files:
                stored.add(read(os.path.join(folder, name)))
        for name, original in ORIGINALS.items():
            path = os.path.join(plugins, name)
            current = read(path) if os.path.exists(path) else None
            if current != original:
                self.assertTrue(current is None or b"kel_plugin_center_gate" in current, name)
                self.assertIn(original, stored, name + " lost its only copy")

    def test_file_held_open_gives_exit_4_and_a_second_run_finishes(self):
        locked = self.target(2025) + "\\kel_plugin_center\\bin\\KelPluginManager.exe"
        with kel_e2e.holding(self.profile, "--lock", locked):
            self.assertEqual(self.uninstall(), 4)
        # Every plugin was dealt with despite the lock; only the center's file is left over.
        self.assert_decommissioned(2024)
        self.assertTrue(os.path.exists(os.path.join(self.profile.plugins_dir(2025),
                                                    "kel_plugin_center", "bin",
                                                    "KelPluginManager.exe")))
        for name in ORIGINALS:
            self.assertEqual(read(os.path.join(self.profile.plugins_dir(2025), name)),
                             ORIGINALS[name])
        self.assertEqual(self.uninstall(), 0)
        for year in YEARS:
            self.assert_decommissioned(year)
        self.assertEqual(self.globals_exist(), (False, False))

    def test_work_left_keeps_the_center_and_the_next_run_finishes(self):
        """Something in the way of the first run, or a fact it cannot tell: no user byte is
        lost, the center stays whole while anything still depends on it, and once the obstacle
        is gone (or what was damaged for good has been recovered from verified copies) a later
        run ends with 0 and the full result."""
        plugins = self.profile.plugins_dir(2025)
        managed = os.path.join(plugins, "kel_plugin_center", "managed_plugins")
        alice = os.path.join(managed, "users", "alice")
        anonymous = os.path.join(managed, "users", "_unauthenticated")
        alice_registry = os.path.join(alice, "plugin_registry.json")
        shared_registry = os.path.join(managed, "plugin_registry.json")
        win = kel_e2e.to_windows
        dup_sha = sha(ORIGINALS["dup.rb"])
        dup_payloads = [win(os.path.join(d, "payloads", "user.dup", dup_sha, "dup.rb"))
                        for d in (managed, anonymous)]
        roofer_payload = os.path.join(managed, "payloads", "user.roofer",
                                      sha(ORIGINALS["roofer.rb"]), "roofer.rb")
        lost_payload = os.path.join(managed, "payloads", "user.lost",
                                    sha(ORIGINALS["lost_tool.rb"]), "lost_tool.rb")
        fresh = b"# fresh: being taken under management right now\n"
        fresh_sha = sha(fresh)
        fresh_staged = os.path.join(managed, "staging", "user.fresh", fresh_sha, "fresh.rb")
        fresh_payload = os.path.join(managed, "payloads", "user.fresh", fresh_sha, "fresh.rb")
        fresh_journal = os.path.join(managed, "journals", "user.fresh.json")
        pristine = {year: snapshot(self.profile.plugins_dir(year)) for year in YEARS}

        def edit_registry(path, change):
            document = json.loads(read(path))
            change(document["plugins"])
            write(path, json.dumps(document, indent=2))

        def journal(path, plugin_id, phase, entry, staged, payload, digest):
            write(path, json.dumps({
                "pluginId": plugin_id, "phase": phase, "rootEntry": win(entry),
                "stagedPath": win(staged), "payloadPath": win(payload),
                "rawDigest": "sha256:" + digest}))

        def taking_over_fresh():
            write(os.path.join(plugins, "fresh.rb"), fresh)
            write(fresh_staged, fresh)
            journal(fresh_journal, "user.fresh", "staged", os.path.join(plugins, "fresh.rb"),
                    fresh_staged, fresh_payload, fresh_sha)

        def fresh_published():
            # The plugin manager finishes the takeover once it has the root gate again.
            write(fresh_payload, fresh)
            write(os.path.join(plugins, "fresh.rb"), gate("user.fresh"))
            journal(fresh_journal, "user.fresh", "published", os.path.join(plugins, "fresh.rb"),
                    fresh_staged, fresh_payload, fresh_sha)
            edit_registry(shared_registry, lambda p: p.update(
                {"user.fresh": record("fresh.rb", "", "local_takeover", fresh)}))

        def dup_only_in_alice():
            def take(p):
                del p["user.dup"]
            edit_registry(shared_registry, take)
            edit_registry(alice_registry, lambda p: p.update(
                {"user.dup": record("dup.rb", "", "local_takeover", ORIGINALS["dup.rb"])}))
            write(os.path.join(alice, "payloads", "user.dup", dup_sha, "dup.rb"),
                  ORIGINALS["dup.rb"])

        def dup_in_other_case():
            def rename(p):
                p["User.Dup"] = p.pop("user.dup")
            edit_registry(shared_registry, rename)

        def gate_without_first_line():
            write(os.path.join(plugins, "roofer.rb"),
                  gate("user.roofer")[len(b"# frozen_string_literal: true\n"):])

        def active_generation_missing():
            other = b"# a generation that was never stored\n"
            edit_registry(shared_registry, lambda p: p.update(
                {"user.roofer": record("roofer.rb", "roofer", "local_takeover", other)}))

        def tombstone_damaged_beside_its_gate():
            def committed(p):
                del p["mk.sketchtools"]
            edit_registry(shared_registry, committed)
            write(os.path.join(managed, "uninstall_journals", "mk.sketchtools.json"),
                  b"{ damaged")

        def measure_journal_never_verifies():
            original = ORIGINALS["measure_tool.rb"]
            stored = os.path.join(alice, "payloads", "user.measure", sha(original),
                                  "measure_tool.rb")
            journal(os.path.join(alice, "journals", "user.measure.json"), "user.measure",
                    "staged", os.path.join(plugins, "measure_tool.rb"), stored, stored,
                    sha(original))

        def gate_moved_aside_by_a_crash():
            os.rename(os.path.join(plugins, "roofer.rb"),
                      os.path.join(plugins, "roofer.rb.pending_delete_1700000000_999999_1"))

        def users_look_alike_file():
            write(os.path.join(plugins, "notes.txt.pending_delete_1_2_3"), b"my notes\n")

        def prepared():
            return snapshot(plugins)

        def unchanged(before):
            def check(state):
                self.assertEqual(state, before)
            return check

        def center_kept(state):
            self.assertIn("kel_plugin_center/", state)
            self.assertIn("!kel-plugin-gate.rb", state)

        def center_kept_with(name, content):
            def check(state):
                center_kept(state)
                self.assertEqual(state[name], content)
            return check

        def center_kept_with_its_tombstone(state):
            self.assertIn("kel_plugin_center/managed_plugins/uninstall_journals/"
                          "mk.sketchtools.json".replace("/", os.sep), state)
            center_kept(state)

        def center_gone_damaged_registry_recovered(state):
            self.assertNotIn("kel_plugin_center/", state)
            self.assertEqual(state["stairs.rb"], b"# mk.stairs\nrequire 'stairs_lib/main'\n")

        def entry_back(name):
            def check(state):
                self.assertEqual(state[name], ORIGINALS[name])
            return check

        def anything(state):
            pass

        stairs_kept = {"stairs.rb": b"# mk.stairs\nrequire 'stairs_lib/main'\n",
                       "stairs_lib/": "<dir>",
                       os.path.join("stairs_lib", "main.rb"): b"# mk.stairs\n",
                       os.path.join("stairs_lib", "lib") + os.sep: "<dir>",
                       os.path.join("stairs_lib", "lib", "core.rb"): b"# core\n"}
        sketchtools_kept = {"sketchtools.rb": b"# mk.sketchtools\nrequire 'sketchtools/main'\n",
                            "sketchtools/": "<dir>",
                            os.path.join("sketchtools", "main.rb"): b"# mk.sketchtools\n",
                            os.path.join("sketchtools", "lib") + os.sep: "<dir>",
                            os.path.join("sketchtools", "lib", "core.rb"): b"# core\n"}
        mutex = ("--mutex", ROOT_GATE_MUTEX)
        target_2025 = ("--target", self.target(2025))
        # name, setup, what is in the way, target, first exit code, check after the first
        # run (given the folder as set up), what happens between the runs, what the last run
        # leaves beyond a clean folder
        rows = [
            # Neither the sweep nor the center's removal runs without the root gate: a takeover
            # the plugin manager is publishing meanwhile is finished by the next run.
            ("root gate held while a takeover is published", taking_over_fresh, mutex,
             target_2025, 4, unchanged, fresh_published, {"fresh.rb": fresh}),
            ("companion with a file held open", None,
             ("--lock", self.target(2025) + "\\sketchtools\\main.rb"), (), 4,
             lambda _: center_kept_with_its_tombstone, None, {}),
            ("re-sorted id whose restores both fail", None,
             ("--lock", dup_payloads[0], "--lock", dup_payloads[1]), (), 4,
             lambda _: center_kept_with("dup.rb", gate("user.dup")), None, {}),
            ("user's entry held open without sharing", None,
             ("--lock", self.target(2025) + "\\roofer.rb"), (), 4,
             lambda _: center_kept_with("roofer.rb", gate("user.roofer")), None, {}),
            ("gate moved aside by a crash, no entry in its place", gate_moved_aside_by_a_crash,
             (), (), 0, lambda _: entry_back("roofer.rb"), None, {}),
            ("takeover held only by a registry in use", dup_only_in_alice,
             ("--lock", win(alice_registry)), (), 4,
             lambda _: center_kept_with("dup.rb", gate("user.dup")), None, {}),
            ("takeover registered under another case of its id", dup_in_other_case, (), (), 4,
             lambda _: entry_back("dup.rb"), None, {}),
            ("gate of another layout whose restore waits", gate_without_first_line,
             ("--lock", win(roofer_payload)), (), 4,
             lambda before: center_kept_with("roofer.rb", before["roofer.rb"]), None, {}),
            ("orphan gate whose saved copy is in use", None, ("--lock", win(lost_payload)), (),
             4, lambda _: center_kept_with("lost_tool.rb", gate("user.lost")), None, {}),
            # Damaged for good: nothing to wait for. Gates come back from verified copies, the
            # run says it was not clean, and the next one finishes.
            ("corrupt plugin_registry.json", lambda: write(alice_registry, b"{ this is not json"),
             (), (), 4, lambda _: center_gone_damaged_registry_recovered, None, stairs_kept),
            ("empty plugin_registry.json", lambda: write(alice_registry, b""), (), (), 4,
             lambda _: center_gone_damaged_registry_recovered, None, stairs_kept),
            ("root journal that can never verify", measure_journal_never_verifies, (), (), 4,
             lambda _: entry_back("measure_tool.rb"), None, {}),
            ("active generation missing, another verified", active_generation_missing, (), (),
             4, lambda _: entry_back("roofer.rb"), None, {}),
            ("tombstone damaged for good beside its gate", tombstone_damaged_beside_its_gate,
             (), (), 4, lambda _: anything, None, sketchtools_kept),
            ("a user's file that looks set aside", users_look_alike_file, (), (), 0,
             lambda _: anything, None, {"notes.txt.pending_delete_1_2_3": b"my notes\n"}),
        ]
        for name, setup, obstacle, target, first_exit, check_first, between, leftovers in rows:
            with self.subTest(row=name):
                if setup is not None:
                    setup()
                before = prepared()
                if obstacle:
                    with kel_e2e.holding(self.profile, *obstacle):
                        self.assertEqual(self.uninstall(*target), first_exit)
                else:
                    self.assertEqual(self.uninstall(*target), first_exit)
                for year in YEARS:
                    self.assert_user_bytes_safe(year)
                check = check_first(before)
                check(snapshot(plugins))
                if between is not None:
                    between()
                self.assertEqual(self.uninstall(*target), 0)
                expected = expected_plugins_folder()
                expected.update(leftovers)
                self.assertEqual(snapshot(plugins), expected)
            self.reset(pristine)

    def test_interrupted_uninstall_is_finished_by_the_next_run(self):
        # Where the first run dies: AcmeTool (the first marketplace uninstall, an id with
        # capitals) after its tombstone, after its registry commit and during its cleanup;
        # another plugin after its commit and in the middle of a cleanup; after a restored
        # entry and before its registry commit; half way through removing the center's folder.
        points = [("tombstone", 1), ("commit", 1), ("companion", 1), ("commit", 2),
                  ("internals", 3), ("restore-written", 2), ("center", 1)]
        pristine = {year: snapshot(self.profile.plugins_dir(year)) for year in YEARS}
        for point, occurrence in points:
            with self.subTest(point=point, occurrence=occurrence):
                first = self.run_program("decommission_uninstall_runner.exe", point,
                                         str(occurrence))
                self.assertEqual(first.exit_code, 99, "the run was not killed at " + point)
                for year in YEARS:
                    self.assert_user_bytes_safe(year)
                self.assertEqual(self.uninstall(), 0)
                for year in YEARS:
                    self.assert_decommissioned(year)
                self.assertEqual(self.globals_exist(), (False, False))
            self.reset(pristine)


    def test_killed_at_random_moments_the_next_runs_finish(self):
        """The uninstall ended dead at 20 seeded random moments over a folder with
        marketplace plugins, takeovers, orphans and the user's own plugins: after every kill
        the user's bytes exist somewhere, and the runs after them end with 0 and the clean
        folder. A moment is a file operation of the fault seam's count (KelSetupFaults.exe,
        die=N); KEL_KILL_SEED replays a seed."""
        seed = int(os.environ.get("KEL_KILL_SEED") or random.SystemRandom().randrange(1 << 31))
        print("\nkill test seed: %d" % seed, file=sys.stderr)
        rng = random.Random(seed)
        faults = os.path.join(kel_e2e.BIN_DIR, "KelSetupFaults.exe")
        args = ("--silent", "--uninstall", "--target", self.target(2025))
        pristine = {year: snapshot(self.profile.plugins_dir(year)) for year in YEARS}
        # How many file operations a whole run makes, so that the kills spread over all of it.
        trace = os.path.join(self.profile.root, "trace.txt")
        whole = kel_e2e.run_program(faults, args, self.profile,
                                    env={"KEL_FAULT_PLAN": "trace=" + kel_e2e.to_windows(trace)})
        self.assertEqual(whole.exit_code, 0, whole)
        with open(trace, encoding="utf-8", errors="replace") as stream:
            operations = sum(1 for _ in stream)
        self.assertGreater(operations, 100)
        self.reset(pristine)
        # Five rounds from the populated folder, each killed four times in a row (every kill
        # lands wherever the run before it stopped), then run to its end.
        for round_number in range(5):
            moments = [rng.randint(1, operations) for _ in range(4)]
            with self.subTest(round=round_number, seed=seed, die_at=moments):
                for moment in moments:
                    killed = kel_e2e.run_program(faults, args, self.profile,
                                                 env={"KEL_FAULT_PLAN": "die=%d" % moment})
                    self.assertIn(killed.exit_code, (0, 4, 86), killed)
                    self.assert_user_bytes_safe(2025)
                codes = []
                while len(codes) < 3 and (not codes or codes[-1] != 0):
                    codes.append(self.uninstall(*args[2:]))
                    self.assert_user_bytes_safe(2025)
                self.assertEqual(codes[-1], 0, codes)
                self.assert_decommissioned(2025)
            self.reset(pristine)


# Root entries of published extensions (tests/e2e/fixtures/published_loaders, sources noted
# there), bytes as their authors published them, in a Plugins folder the center manages.
PUBLISHED_DIR = os.path.join(HERE, "fixtures", "published_loaders")
# entry, the folder it loads, how it lies in the Plugins folder: "plain" (the user's own),
# "managed" (taken under management: a gate now, the published bytes stored), "library" (the
# marketplace installed it; rzw_sunpath.rb loads its folder)
PUBLISHED_ROWS = [
    ("sketchup-stl.rb", "sketchup-stl", "managed"),
    ("ex_custom_tool.rb", "ex_custom_tool", "plain"),
    ("as_shapestoolbar.rb", "as_shapestoolbar", "managed"),
    ("as_loadrubyeditor.rb", "as_plugins", "plain"),
    ("ladb_opencutlist.rb", "ladb_opencutlist", "managed"),
    ("ae_console.rb", "ae_console", "plain"),
    ("parametric_modeling.rb", "parametric_modeling", "managed"),
    ("ene_solids.rb", "ene_solids", "plain"),
    ("rzw_sunpath.rb", "rzw_sunpath", "plain"),
    ("rzw_Lib2.rb", "rzw_Lib2", "library"),
]
# The entry that names the library, per Plugins folder: the user's own, taken under
# management too (given back before the library goes, so it still keeps the folder), or
# absent (nobody names the folder: it goes).
LIBRARY_USER = {2025: "plain", 2024: None, 2023: "managed"}
PUBLISHED_YEARS = tuple(LIBRARY_USER)


# A published id as long as real ones get: its stored copy lies past MAX_PATH.
LONG_ID = "fr.lairdubois.opencutlist.sketchup-extension"


def published(name):
    return read(os.path.join(PUBLISHED_DIR, name))


def companion_files(folder):
    return {os.path.join(folder, "main.rb"): ("# code of %s\n" % folder).encode(),
            os.path.join(folder, "lib", "core.rb"): b"# shared code\n"}


class UninstallPublishedLoaders(unittest.TestCase):
    """Published loaders beside marketplace plugins, under management and naming a
    marketplace library: after the uninstall each is byte for byte what the user had."""

    @classmethod
    def setUpClass(cls):
        cls.release_dir = tempfile.mkdtemp(prefix="kel_uninstall_published_")
        release_builder.build_release_from_files(CENTER_FILES, cls.release_dir, "3.2.0")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.release_dir, ignore_errors=True)

    def setUp(self):
        self.profile = kel_e2e.Profile("uninstall_published")
        self.addCleanup(self.profile.remove)
        package = os.path.join(self.profile.root, "package.zip")
        shutil.copyfile(os.path.join(self.release_dir, "package.zip"), package)
        for year in PUBLISHED_YEARS:
            self.profile.make_plugins_dir(year)
        result = kel_e2e.run_program(os.path.join(kel_e2e.BIN_DIR, "KelSetup.exe"),
                                     ("--install-silent", "--no-launch", "--package",
                                      kel_e2e.to_windows(package)), self.profile, timeout=240)
        self.assertEqual(result.exit_code, 0, result)

    def rows(self, year):
        out = []
        for entry, folder, role in PUBLISHED_ROWS:
            if entry == "rzw_sunpath.rb":
                role = LIBRARY_USER[year]
            if role:
                out.append((entry, folder, role))
        return out

    def populate(self, year):
        plugins = self.profile.plugins_dir(year)
        managed = os.path.join(plugins, "kel_plugin_center", "managed_plugins")
        records = {}
        for entry, folder, role in self.rows(year):
            original = published(entry)
            for relative, content in companion_files(folder).items():
                write(os.path.join(plugins, relative), content)
            if role == "plain":
                write(os.path.join(plugins, entry), original)
                continue
            plugin_id = ("mk." if role == "library" else "user.") + entry[:-3]
            if entry == "ladb_opencutlist.rb":
                plugin_id = LONG_ID
                payload = os.path.join(managed, "payloads", plugin_id, sha(original), entry)
                self.assertGreater(len(kel_e2e.to_windows(payload)), 260)
            write(os.path.join(plugins, entry), gate(plugin_id))
            write(os.path.join(managed, "payloads", plugin_id, sha(original), entry), original)
            if role == "library":
                records[plugin_id] = record(entry, folder, "marketplace")
                write(os.path.join(managed, "runtime", plugin_id, "state.json"), "{}")
            else:
                records[plugin_id] = record(entry, folder, "local_takeover", original)
        # An ordinary marketplace plugin beside them.
        write(os.path.join(plugins, "stairs.rb"), gate("mk.stairs"))
        for relative, content in companion_files("stairs_lib").items():
            write(os.path.join(plugins, relative), content)
        records["mk.stairs"] = record("stairs.rb", "stairs_lib", "marketplace")
        write(os.path.join(managed, "plugin_registry.json"), registry(records))

    def expected(self, year):
        out = {}
        for entry, folder, role in self.rows(year):
            if role == "library" and not LIBRARY_USER[year]:
                continue
            if role != "library":
                out[entry] = published(entry)
            out[folder + "/"] = "<dir>"
            out[os.path.join(folder, "lib") + os.sep] = "<dir>"
            out.update(companion_files(folder))
        return out

    def test_every_published_entry_comes_back_byte_exact(self):
        for year in PUBLISHED_YEARS:
            self.populate(year)
        result = kel_e2e.run_program(os.path.join(kel_e2e.BIN_DIR, "KelSetup.exe"),
                                     ("--silent", "--uninstall"), self.profile, timeout=240)
        self.assertFalse(result.timed_out, result)
        self.assertEqual(result.exit_code, 0, result)
        for year in PUBLISHED_YEARS:
            with self.subTest(year=year):
                self.assertEqual(snapshot(self.profile.plugins_dir(year)), self.expected(year))


if __name__ == "__main__":
    unittest.main()
