"""The real KelSetup.exe keeping a Plugins folder whole: VERSION changes only over new files,
a run killed at any moment is put back or finished by the next, setups on one folder take
turns, a failed blob ends the run at once, and nothing from the backend may write a file twice
or take the client to another origin."""

import json
import os
import random
import signal
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import kel_e2e  # noqa: E402
import release_builder  # noqa: E402
from sample_backend import SampleBackend  # noqa: E402
from test_silent_install import BLOB, LATEST, ZIP, SilentRunCase  # noqa: E402

MARKER = "kel_plugin_center/VERSION.deploying"


def release_files(version, changed=(), size=300 * 1024):
    """A loader and 30 parts of bytes that do not compress (so that a few changed parts stay
    a differential update); the parts in `changed` differ with `version`."""
    files = {"kel_plugin_center.rb": "require 'kel_plugin_center/main'\n"}
    for i in range(30):
        tag = version if i in changed else "base"
        files["kel_plugin_center/data/part_%02d.bin" % i] = random.Random(
            "%s:%d" % (tag, i)).randbytes(size)
    return files


def file_map(folder):
    """rel ('/' separated) -> bytes of every file below `folder`."""
    return {rel.replace(os.sep, "/"): data
            for rel, data in kel_e2e.tree_bytes(folder).items() if data is not None}


def setup_processes(origin):
    """Linux pids of the KelSetup.exe processes that talk to `origin`."""
    found = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as stream:
                command = stream.read().replace(b"\0", b" ")
        except OSError:
            continue
        if b"KelSetup.exe" in command and origin.encode() in command:
            found.append(int(pid))
    return found


class UpdateIntegrityTest(SilentRunCase):
    def publish(self, files, version):
        data = release_builder.build_release_from_files(files, self.release_dir, version)
        return data

    def expected(self, files, version):
        out = {rel: (content.encode() if isinstance(content, str) else content)
               for rel, content in files.items()}
        out["kel_plugin_center/VERSION"] = (version + "\n").encode()
        return out

    def assert_whole(self, plugins, files, version):
        self.assertEqual(file_map(plugins), self.expected(files, version))

    def start_setup(self, timeout=120):
        """KelSetup.exe --silent started in the background (through the launcher)."""
        extra = {"KEL_E2E_TIMEOUT_MS": str(int(timeout * 1000))}
        for name, value in self.profile.env().items():
            extra[kel_e2e.SANDBOX_PREFIX + name] = value
        return subprocess.Popen(
            ["wine", kel_e2e.LAUNCHER_EXE, kel_e2e.to_windows(kel_e2e.SETUP_EXE), "--silent",
             "--no-launch", "--origin", self.backend.origin],
            env=kel_e2e.wine_env(extra), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)

    def test_version_changes_only_over_new_files_and_a_killed_update_is_mended(self):
        plugins = self.sketchup_plugins(2025)
        v1 = release_files("v1")
        self.publish(v1, "1.0.0")
        self.assertEqual(self.run_setup("--silent", "--no-launch"), 0)
        self.assert_whole(plugins, v1, "1.0.0")

        # The moment VERSION changes, every file is already new; the run killed right then
        # leaves nothing the next run cannot finish.
        v2 = release_files("v2", changed=range(0, 30, 2))
        self.publish(v2, "2.0.0")
        version_path = os.path.join(plugins, "kel_plugin_center", "VERSION")
        process = self.start_setup()
        seen = None
        deadline = time.time() + 120
        while time.time() < deadline and process.poll() is None:
            try:
                with open(version_path, "rb") as stream:
                    if stream.read() == b"2.0.0\n":
                        seen = file_map(plugins)
                        for pid in setup_processes(self.backend.origin):
                            os.kill(pid, signal.SIGKILL)
                        break
            except OSError:
                pass
            time.sleep(0.002)
        process.wait(timeout=60)
        self.assertIsNotNone(seen, "VERSION never changed")
        expected = self.expected(v2, "2.0.0")
        for rel, content in expected.items():
            self.assertEqual(seen.get(rel), content, rel)
        self.assertEqual(self.run_setup("--silent", "--no-launch"), 0)
        self.assert_whole(plugins, v2, "2.0.0")

        # Killed at seeded random moments, back and forth between two releases: after each
        # kill the folder is the old release, the new one, or carries the record; the next run
        # always leaves exactly one whole release.
        seed = int(os.environ.get("KEL_KILL_SEED", str(int(time.time()) % 100000)))
        print("kill seed: %d (KEL_KILL_SEED to repeat)" % seed, file=sys.stderr)
        rng = random.Random(seed)
        started = time.monotonic()
        self.publish(v1, "1.0.0")
        self.assertEqual(self.run_setup("--silent", "--no-launch"), 0)
        whole_run = time.monotonic() - started
        releases = [(v2, "2.0.0"), (v1, "1.0.0")]
        current = (v1, "1.0.0")
        outcomes = {"old": 0, "new": 0, "recorded": 0}
        for kill in range(10):
            target = releases[kill % 2]
            self.publish(*target)
            # The files are written near the end of a run: the kills aim at its second half.
            moment = rng.uniform(whole_run / 2, max(whole_run, 1.0))
            run = kel_e2e.run_setup(["--silent", "--no-launch", "--origin", self.backend.origin],
                                    self.profile, timeout=moment)
            # A write the kill cut short may leave its temporary ("name.tmp.pid.n"); the next
            # write of that file clears it.
            now = {rel: data for rel, data in file_map(plugins).items() if ".tmp." not in rel}
            if MARKER in now:
                outcomes["recorded"] += 1
            elif now == self.expected(*current):
                outcomes["old"] += 1
            else:
                self.assertEqual(now, self.expected(*target),
                                 "kill %d at %.2f s (seed %d, exit %d)" % (kill, moment, seed,
                                                                           run.exit_code))
                outcomes["new"] += 1
            self.assertEqual(self.run_setup("--silent", "--no-launch"), 0,
                             "after kill %d at %.2f s (seed %d)" % (kill, moment, seed))
            self.assert_whole(plugins, *target)
            current = target
        print("kills: %s" % outcomes, file=sys.stderr)

    def test_three_setups_at_once_leave_one_whole_release(self):
        plugins = self.sketchup_plugins(2025)
        v1 = release_files("v1")
        self.publish(v1, "1.0.0")
        processes = [self.start_setup() for _ in range(3)]
        codes = [process.wait(timeout=180) for process in processes]
        self.assertIn(0, codes)
        self.assertTrue(set(codes) <= {0, 4}, codes)
        self.assert_whole(plugins, v1, "1.0.0")
        self.assertEqual(os.listdir(self.profile.temp), [])

    def test_a_failed_blob_ends_a_stalled_one_at_once(self):
        plugins = self.sketchup_plugins(2025)
        v1 = release_files("v1")
        self.publish(v1, "1.0.0")
        self.assertEqual(self.run_setup("--silent", "--no-launch"), 0)
        before = kel_e2e.tree_bytes(plugins)
        v2 = release_files("v2", changed=(3, 4))
        data = self.publish(v2, "2.0.0")
        digests = {f["relativePath"]: f["sha256"] for f in data["files"]}
        stalled = BLOB + digests["kel_plugin_center/data/part_03.bin"]
        missing = BLOB + digests["kel_plugin_center/data/part_04.bin"]
        self.backend.fail("slow", stalled, chunk=4096, delay=100)
        self.backend.fail("status", missing, status=404)
        self.backend.fail("latency", missing, delay=1.0)  # the stalled one is under way by then
        run = kel_e2e.run_setup(["--silent", "--no-launch", "--origin", self.backend.origin],
                                self.profile)
        self.assertEqual(run.exit_code, 4)
        self.assertLess(run.elapsed, 30)
        self.assertEqual(kel_e2e.tree_bytes(plugins), before)

    def test_a_manifest_naming_one_file_twice_is_refused(self):
        plugins = self.sketchup_plugins(2025)
        v1 = release_files("v1")
        self.publish(v1, "1.0.0")
        self.assertEqual(self.run_setup("--silent", "--no-launch"), 0)
        before = kel_e2e.tree_bytes(plugins)
        v2 = release_files("v2", changed=(1,))
        data = self.publish(v2, "2.0.0")
        entry = next(f for f in data["files"]
                     if f["relativePath"] == "kel_plugin_center/data/part_02.bin")
        twin = dict(entry, relativePath="KEL_PLUGIN_CENTER/Data/Part_01.bin")
        data["files"].append(twin)
        release_builder.save_release(self.release_dir, data)
        self.assertEqual(self.run_setup("--silent", "--no-launch", "--log",
                                        self.win + "\\run.log"), 4)
        self.assertEqual(kel_e2e.tree_bytes(plugins), before)
        self.assertEqual(self.backend.request_paths(), [LATEST])
        plugins_win = self.win + "\\Roaming\\SketchUp\\SketchUp 2025\\SketchUp\\Plugins"
        self.assertIn("error: install into %s failed: 更新清单中同一文件出现多次且内容不同: "
                      "kel_plugin_center/data/part_01.bin, KEL_PLUGIN_CENTER/Data/Part_01.bin"
                      % plugins_win, self.read_log())

    def test_a_package_redirected_to_another_port_is_refused(self):
        plugins = self.sketchup_plugins(2025)
        other = SampleBackend(self.release_dir)
        other.start()
        self.addCleanup(other.stop)
        self.backend.fail("redirect", "package", location=other.origin + ZIP)
        self.assertEqual(self.run_setup("--silent", "--no-launch", "--log",
                                        self.win + "\\run.log"), 4)
        self.assertEqual(other.request_paths(), [])
        self.assertEqual(os.listdir(plugins), [])
        self.assertTrue(any("服务器重定向到其他地址，已拒绝: " + other.origin + ZIP in line
                            for line in self.read_log()), self.read_log())


if __name__ == "__main__":
    unittest.main()
