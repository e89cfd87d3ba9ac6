"""The real KelSetup.exe --silent --uninstall under Wine, on a profile with two SketchUp
versions whose Plugins folders the program installed itself and the plugin center then
filled: marketplace plugins, user-installed plugins under management (gates, payloads,
per-user registries) and orphan gates."""
import hashlib
import json
import os
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
        """Every user entry is either back in place or still a gate with its stored copy."""
        plugins = self.profile.plugins_dir(year)
        stored = set()
        for folder, _, files in os.walk(os.path.join(plugins, "kel_plugin_center")):
            for name in files:
                stored.add(read(os.path.join(folder, name)))
        for name, original in ORIGINALS.items():
            current = read(os.path.join(plugins, name))
            if current != original:
                self.assertTrue(current.startswith(GATE_PREFIX.encode()), name)
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
        """Something in the way of the first run: exit 4, the center kept whole wherever
        work is left, no user byte lost; the second run, with the obstacle gone, exit 0 and
        the full result."""
        plugins = self.profile.plugins_dir(2025)
        managed = os.path.join(plugins, "kel_plugin_center", "managed_plugins")
        anonymous = os.path.join(managed, "users", "_unauthenticated")
        alice_registry = os.path.join(managed, "users", "alice", "plugin_registry.json")
        dup_sha = sha(ORIGINALS["dup.rb"])
        dup_payloads = [kel_e2e.to_windows(os.path.join(d, "payloads", "user.dup", dup_sha,
                                                        "dup.rb"))
                        for d in (managed, anonymous)]
        pristine = {year: snapshot(self.profile.plugins_dir(year)) for year in YEARS}

        def untouched_but_orphans(state):
            # Only the orphans went their way: the stored copy back, the unknown gate gone.
            expected = dict(pristine[2025])
            expected["lost_tool.rb"] = ORIGINALS["lost_tool.rb"]
            del expected["ghost.rb"]
            self.assertEqual(state, expected)

        def center_kept_with_its_tombstone(state):
            self.assertIn("kel_plugin_center/managed_plugins/uninstall_journals/"
                          "mk.sketchtools.json".replace("/", os.sep), state)
            self.assertIn("!kel-plugin-gate.rb", state)

        def dup_still_managed(state):
            self.assertEqual(state["dup.rb"], gate("user.dup"))
            self.assertIn("kel_plugin_center/", state)

        def center_gone_damaged_registry_recovered(state):
            self.assertNotIn("kel_plugin_center/", state)
            self.assertEqual(state["stairs.rb"], b"# mk.stairs\nrequire 'stairs_lib/main'\n")

        stairs_kept = {"stairs.rb": b"# mk.stairs\nrequire 'stairs_lib/main'\n",
                       "stairs_lib/": "<dir>",
                       os.path.join("stairs_lib", "main.rb"): b"# mk.stairs\n",
                       os.path.join("stairs_lib", "lib") + os.sep: "<dir>",
                       os.path.join("stairs_lib", "lib", "core.rb"): b"# core\n"}
        # name, what is in the way, its target, the check after the first run, what the
        # second run leaves beyond a clean folder
        rows = [
            ("root gate held by the plugin manager", ("--mutex", ROOT_GATE_MUTEX), None,
             ("--target", self.target(2025)), untouched_but_orphans, {}),
            ("companion with a file held open",
             ("--lock", self.target(2025) + "\\sketchtools\\main.rb"), None, (),
             center_kept_with_its_tombstone, {}),
            ("re-sorted id whose restores both fail",
             ("--lock", dup_payloads[0], "--lock", dup_payloads[1]), None, (),
             dup_still_managed, {}),
            # Damaged for good: nothing to wait for. Its gates come back from verified
            # copies, the center goes, and the run still says it was not clean.
            ("corrupt plugin_registry.json", (), b"{ this is not json", (),
             center_gone_damaged_registry_recovered, stairs_kept),
        ]
        for name, obstacle, alice_bytes, target, check_first, leftovers in rows:
            with self.subTest(row=name):
                if alice_bytes is not None:
                    write(alice_registry, alice_bytes)
                if obstacle:
                    with kel_e2e.holding(self.profile, *obstacle):
                        self.assertEqual(self.uninstall(*target), 4)
                else:
                    self.assertEqual(self.uninstall(*target), 4)
                for year in YEARS:
                    self.assert_user_bytes_safe(year)
                check_first(snapshot(plugins))
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
