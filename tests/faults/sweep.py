#!/usr/bin/env python3
"""Fault and crash sweep of the install and the uninstall, through KelSetupFaults.exe.

For a scenario it counts the file operations of a clean run, then for every chosen N runs
once with "fail N" (operation N fails with a Windows error) and once with "die at N" (the
process ends there, no cleanup), then runs the shipped KelSetup.exe until it exits 0 (at most
3 runs) and checks after every run:
  - every user-owned byte sequence exists somewhere on disk;
  - a run that exits 0 left the expected final state (no false success);
  - nothing outside the folders the scenario's run may write changed;
and after the last run that the state is byte-exact the clean run's (checked once against
the scenario's own expectation).

  tests/faults/sweep.py --list                              scenarios and their rows
  tests/faults/sweep.py --scenario uninstall --count        operations of a clean run
  tests/faults/sweep.py --scenario uninstall                every mutating N, both modes
  tests/faults/sweep.py --scenario uninstall --mode die --n 812    replay one N
  tests/faults/sweep.py --scenario update --reads --stride 7        reads too, every 7th
  tests/faults/sweep.py --scenario update --mode fail --match 'version\.tmp'   by path
  tests/faults/sweep.py --sample                            what scripts/test.sh runs

The build tree is KEL_BUILD_DIR (default build/); its Wine prefix must be running
(scripts/wine-prefix.sh start build), as scripts/test.sh does. Exit status 1 when any row or
N failed; each failure is printed with its operation, path and error and the command that
replays it.
"""

import argparse
import hashlib
import json
import os
import re
import shutil
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
import kel_e2e  # noqa: E402
import release_builder  # noqa: E402
import test_uninstall as uninstall_fixture  # noqa: E402
from sample_backend import SampleBackend  # noqa: E402

FAULTS_EXE = os.path.join(kel_e2e.BIN_DIR, "KelSetupFaults.exe")
DEATH_EXIT = 86
ERRORS = {"sharing": 32, "denied": 5, "full": 112, "missing": 2}
MAX_RECOVERY_RUNS = 3


def sha(data):
    return hashlib.sha256(data).hexdigest()


_programs = []
# The Apps & features entry's copy of the program: kept in line by every run, but by design
# never a reason to fail one, so it is no part of "done"; a copy there must still be whole.
APPS_COPY_DIR = os.path.join("Local", "Programs", "KelPluginCenter")


def without_copy(state):
    return {k: v for k, v in state.items()
            if k != APPS_COPY_DIR + "/" and not k.startswith(APPS_COPY_DIR + os.sep)}


def program_bytes():
    """The two programs a run may copy into the Apps & features folder: either one whole is
    the same state (the sweep runs one, its recoveries the other); anything else is not."""
    if not _programs:
        for path in (kel_e2e.SETUP_EXE, FAULTS_EXE):
            with open(path, "rb") as stream:
                _programs.append(stream.read())
    return _programs


def snapshot(root, skip=()):
    """rel -> bytes (folders: rel/ -> None) below root, without the `skip` subtrees."""
    out = {}
    programs = program_bytes()
    skip = tuple(os.path.join(root, s) for s in skip)
    for folder, dirs, files in os.walk(root):
        dirs[:] = [d for d in dirs if os.path.join(folder, d) not in skip]
        for name in dirs:
            out[os.path.relpath(os.path.join(folder, name), root) + "/"] = None
        for name in files:
            full = os.path.join(folder, name)
            with open(full, "rb") as stream:
                data = stream.read()
            out[os.path.relpath(full, root)] = b"<the setup program>" if data in programs else data
    return out


def differences(got, want, limit=6):
    lines = []
    for key in sorted(set(got) | set(want)):
        if key not in want:
            lines.append("extra " + key)
        elif key not in got:
            lines.append("missing " + key)
        elif got[key] != want[key]:
            lines.append("changed " + key)
    more = len(lines) - limit
    return "; ".join(lines[:limit]) + ("; ... %d more" % more if more > 0 else "")


# ---- scenarios ------------------------------------------------------------------------------
class Scenario:
    """One starting state, one command, what the user owns and what may change."""
    name = ""
    years = (2025,)

    def __init__(self):
        self.backend = None

    def prepare(self, profile):
        """Builds the starting state in a fresh profile."""
        raise NotImplementedError

    def command(self, profile):
        raise NotImplementedError

    def user_bytes(self):
        """Byte sequences the user owns: each must exist somewhere at every moment."""
        raise NotImplementedError

    def writable(self, profile):
        """Folders (relative to the profile root) the run may change."""
        out = [os.path.relpath(profile.plugins_dir(y), profile.root) for y in self.years]
        return out + ["Temp", os.path.join("Local", "KelPlatformV3"),
                      os.path.join("Local", "com.kel.pluginmanager"),
                      APPS_COPY_DIR]

    def check_final(self, profile):
        """The scenario's own idea of done: None or what is wrong (checked on the clean run)."""
        raise NotImplementedError

    def close(self):
        if self.backend is not None:
            self.backend.stop()
            self.backend = None


def run(program, args, profile, plan=None, timeout=240):
    env = {"KEL_FAULT_PLAN": plan} if plan else {"KEL_FAULT_PLAN": None}
    done = kel_e2e.run_program(program, args, profile, env=env, timeout=timeout)
    if done.exit_code == kel_e2e.LAUNCHER_START_FAILED:
        # The launcher could not start the program (seen once under heavy load): the program
        # never ran, so running it now is the same run.
        time.sleep(1)
        done = kel_e2e.run_program(program, args, profile, env=env, timeout=timeout)
    return done


PENDING_ROOT = "old_tool.rb.pending_delete_1700000000_4242_1"
PENDING_LISTED = "main.rb.pending_delete_1700000000_4242_2"


def populate_small(plugins):
    """One of each kind: a marketplace plugin, a takeover in two registries, a takeover with
    its own companion, an orphan gate with its stored copy, the user's own plugin."""
    f = uninstall_fixture
    managed = os.path.join(plugins, "kel_plugin_center", "managed_plugins")
    alice = os.path.join(managed, "users", "alice")
    f.write(os.path.join(plugins, "sketchtools.rb"), f.gate("mk.sketchtools"))
    f.write(os.path.join(plugins, "sketchtools", "main.rb"), "# mk.sketchtools\n")
    entry = b"# mk.sketchtools\nrequire 'sketchtools/main'\n"
    f.write(os.path.join(managed, "payloads", "mk.sketchtools", f.sha(entry), "sketchtools.rb"),
            entry)
    for directory, plugin_id, name in ((managed, "user.dup", "dup.rb"),
                                       (alice, "user.dup", "dup.rb"),
                                       (alice, "user.roofer", "roofer.rb"),
                                       (managed, "user.lost", "lost_tool.rb")):
        original = f.ORIGINALS[name]
        f.write(os.path.join(plugins, name), f.gate(plugin_id))
        f.write(os.path.join(directory, "payloads", plugin_id, f.sha(original), name), original)
    f.write(os.path.join(plugins, "roofer", "main.rb"), "# user code of user.roofer\n")
    f.write(os.path.join(managed, "plugin_registry.json"), f.registry({
        "mk.sketchtools": f.record("sketchtools.rb", "sketchtools", "marketplace"),
        "user.dup": f.record("dup.rb", "", "local_takeover", f.ORIGINALS["dup.rb"])}))
    f.write(os.path.join(alice, "plugin_registry.json"), f.registry({
        "user.dup": f.record("dup.rb", "", "local_takeover", f.ORIGINALS["dup.rb"]),
        "user.roofer": f.record("roofer.rb", "roofer", "local_takeover",
                                f.ORIGINALS["roofer.rb"])}))
    for relative, content in f.OWN_FILES.items():
        f.write(os.path.join(plugins, *relative.split("/")), content)


def expected_small():
    f = uninstall_fixture
    out = {name: f.ORIGINALS[name] for name in ("dup.rb", "roofer.rb", "lost_tool.rb")}
    out.update({"roofer/": "<dir>", os.path.join("roofer", "main.rb"):
                b"# user code of user.roofer\n", "own_plugin/": "<dir>"})
    for relative, content in f.OWN_FILES.items():
        out[os.path.join(*relative.split("/"))] = content
    return out


class UninstallScenario(Scenario):
    """Plugins folders the plugin center filled: marketplace plugins, takeovers in two
    registries, the user's own plugins, orphan gates and files pending deletion. Small: one
    folder with one of each kind; else two folders with the uninstall end-to-end fixture."""

    def __init__(self, name, years, small=False):
        super().__init__()
        self.name = name
        self.years = years
        self.small = small
        self.release_dir = tempfile.mkdtemp(prefix="kel_faults_release_")
        release_builder.build_release_from_files(uninstall_fixture.CENTER_FILES,
                                                 self.release_dir, "3.2.0")

    def prepare(self, profile):
        package = os.path.join(profile.root, "package.zip")
        shutil.copyfile(os.path.join(self.release_dir, "package.zip"), package)
        for year in self.years:
            profile.make_plugins_dir(year)
        done = run(kel_e2e.SETUP_EXE, ["--install-silent", "--no-launch", "--package",
                                       kel_e2e.to_windows(package)], profile)
        if done.exit_code != 0:
            raise RuntimeError("the center could not be installed: %r" % done)
        os.remove(package)
        for year in self.years:
            plugins = profile.plugins_dir(year)
            (populate_small if self.small else uninstall_fixture.populate)(plugins)
            # Files moved aside earlier because something held them: a gate found by its name,
            # and a file listed in the ledger beside the registry. Both must go.
            managed = os.path.join(plugins, "kel_plugin_center", "managed_plugins")
            uninstall_fixture.write(os.path.join(plugins, PENDING_ROOT),
                                    uninstall_fixture.gate("user.old_tool"))
            uninstall_fixture.write(os.path.join(plugins, "roofer", PENDING_LISTED), b"# o\n")
            listed = kel_e2e.to_windows(os.path.join(plugins, "roofer", PENDING_LISTED))
            uninstall_fixture.write(os.path.join(managed, "pending_cleanup.json"), json.dumps(
                {"pendingFiles": [{"tempPath": listed}], "updatedAt": 1700000000}))
        uninstall_fixture.write(os.path.join(profile.local, "KelPlatformV3", "active_token.txt"),
                                "h.e30.s")
        uninstall_fixture.write(os.path.join(profile.local, "com.kel.pluginmanager",
                                             "settings.json"), "{}")

    def command(self, profile):
        return ["--silent", "--uninstall"]

    def user_bytes(self):
        if self.small:
            return {v for k, v in expected_small().items() if v != "<dir>"}
        out = set(uninstall_fixture.ORIGINALS.values()) | set(uninstall_fixture.OWN_FILES.values())
        for plugin in ("user.roofer", "user.measure", "user.legacy"):
            out.add(("# user code of %s\n" % plugin).encode())
        return out

    def check_final(self, profile):
        for year in self.years:
            got = uninstall_fixture.snapshot(profile.plugins_dir(year))
            want = expected_small() if self.small else uninstall_fixture.expected_plugins_folder()
            if got != want:
                return "Plugins %d: %s" % (year, differences(got, want))
        for folder in ("KelPlatformV3", "com.kel.pluginmanager"):
            if os.path.exists(os.path.join(profile.local, folder)):
                return "global folder %s still there" % folder
        return None

    def close(self):
        shutil.rmtree(self.release_dir, ignore_errors=True)


def center_tree(version, changed=()):
    files = {"kel_plugin_center.rb": "require 'kel_plugin_center/main'\n",
             "kel_plugin_center/main.rb": "# main %s\n" % ("3.1.0"),
             "kel_plugin_center/bin/KelPluginManager.exe": b"MZ" + bytes(range(256)) * 4}
    for i in range(12):
        files["kel_plugin_center/lib/part_%02d.rb" % i] = "# part %d\n" % i
    for name in changed:
        files[name] = "# %s in %s\n" % (name, version)
    return files


USER_PLUGIN = {"own_plugin.rb": b"# the user's own\nrequire 'own_plugin/main'\n",
               "own_plugin/main.rb": b"puts 'mine'\n"}
# The plugin center's own data of its users: an update must keep it.
USER_CENTER_DATA = {
    "kel_plugin_center/managed_plugins/plugin_registry.json":
        b'{"schemaVersion": 8, "generation": 1, "updatedAt": 1700000000, "plugins": {}}',
    "kel_plugin_center/managed_plugins/payloads/user.x/abc/x.rb": b"# x, stored copy\n",
}


class UpdateScenario(Scenario):
    """A Plugins folder with release 3.1.0 and the user's data, brought to 3.2.0: through
    single changed files from the backend (differential) or through an offline package."""

    def __init__(self, name, way):
        super().__init__()
        self.name = name
        self.way = way
        self.old_dir = tempfile.mkdtemp(prefix="kel_faults_old_")
        self.new_dir = tempfile.mkdtemp(prefix="kel_faults_new_")
        old = center_tree("3.1.0")
        old["kel_plugin_center/VERSION"] = "3.1.0\n"
        release_builder.build_release_from_files(old, self.old_dir, "3.1.0")
        changed = ["kel_plugin_center.rb", "kel_plugin_center/lib/part_03.rb",
                   "kel_plugin_center/lib/part_07.rb", "kel_plugin_center/lib/new/added.rb"]
        self.new_files = center_tree("3.2.0", changed)
        if way == "package":
            # An offline package brings its own VERSION (without one the old one is removed).
            self.new_files["kel_plugin_center/VERSION"] = "3.2.0\n"
        release_builder.build_release_from_files(self.new_files, self.new_dir, "3.2.0")
        if way == "differential":
            self.backend = SampleBackend(self.new_dir)
            self.backend.start()

    def prepare(self, profile):
        package = os.path.join(profile.root, "old.zip")
        shutil.copyfile(os.path.join(self.old_dir, "package.zip"), package)
        plugins = profile.make_plugins_dir(2025)
        done = run(kel_e2e.SETUP_EXE, ["--install-silent", "--no-launch", "--package",
                                       kel_e2e.to_windows(package)], profile)
        if done.exit_code != 0:
            raise RuntimeError("release 3.1.0 could not be installed: %r" % done)
        os.remove(package)
        for relative, content in {**USER_PLUGIN, **USER_CENTER_DATA}.items():
            uninstall_fixture.write(os.path.join(plugins, *relative.split("/")), content)
        if self.way == "package":
            shutil.copyfile(os.path.join(self.new_dir, "package.zip"),
                            os.path.join(profile.root, "new.zip"))

    def command(self, profile):
        args = ["--silent", "--no-launch"]
        if self.way == "package":
            return args + ["--package", kel_e2e.to_windows(os.path.join(profile.root, "new.zip"))]
        return args + ["--origin", self.backend.origin]

    def user_bytes(self):
        return set(USER_PLUGIN.values()) | set(USER_CENTER_DATA.values())

    def check_final(self, profile):
        plugins = profile.plugins_dir(2025)
        want = {**self.new_files, **USER_PLUGIN, **USER_CENTER_DATA,
                "kel_plugin_center/VERSION": "3.2.0\n"}
        for relative, content in want.items():
            path = kel_e2e.find_path(plugins, relative)
            if isinstance(content, str):
                content = content.encode()
            if not os.path.isfile(path):
                return "missing " + relative
            with open(path, "rb") as stream:
                if stream.read() != content:
                    return "wrong bytes in " + relative
        return None

    def close(self):
        super().close()
        shutil.rmtree(self.old_dir, ignore_errors=True)
        shutil.rmtree(self.new_dir, ignore_errors=True)


def make_scenario(name):
    if name == "uninstall":
        return UninstallScenario("uninstall", (2025,), small=True)
    if name == "uninstall-rich":
        return UninstallScenario("uninstall-rich", (2025, 2024))
    if name == "update":
        return UpdateScenario("update", "differential")
    if name == "package-update":
        return UpdateScenario("package-update", "package")
    raise SystemExit("no scenario " + name)


SCENARIOS = ("uninstall", "uninstall-rich", "update", "package-update")


# ---- the sweep ------------------------------------------------------------------------------
class Sweep:
    def __init__(self, scenario, error="sharing", verbose=False):
        self.scenario = scenario
        self.error = error
        self.verbose = verbose
        self.profile = kel_e2e.Profile("faults_" + scenario.name)
        scenario.prepare(self.profile)
        self.temp_skip = ("Temp",)
        self.pristine = snapshot(self.profile.root, self.temp_skip)
        self.writable = scenario.writable(self.profile)
        self.user = scenario.user_bytes()
        self.expected = None
        self.trace = []
        self.injected = ""

    def close(self):
        self.profile.remove()

    def reset(self):
        root = self.profile.root
        for name in os.listdir(root):
            shutil.rmtree(os.path.join(root, name), ignore_errors=True)
        for relative, content in sorted(self.pristine.items()):
            path = os.path.join(root, relative)
            if content is None:
                os.makedirs(path, exist_ok=True)
            else:
                os.makedirs(os.path.dirname(path), exist_ok=True)
                with open(path, "wb") as stream:
                    stream.write(content)
        os.makedirs(self.profile.temp, exist_ok=True)

    def outside(self, state):
        def allowed(key):
            return any(key == w + "/" or key.startswith(w + os.sep) for w in self.writable)
        return {k: v for k, v in state.items() if not allowed(k)}

    def invariants(self, state, exit_code, label):
        """What must hold after any run; a list of what does not."""
        wrong = []
        present = {sha(v) for v in state.values() if v is not None}
        lost = [u for u in self.user if sha(u) not in present]
        if lost:
            wrong.append("%s: user bytes lost (%d), e.g. %r" % (label, len(lost), lost[0][:60]))
        outside = self.outside(state)
        if outside != self.outside(self.pristine):
            wrong.append("%s: touched outside its folders: %s" % (
                label, differences(outside, self.outside(self.pristine))))
        copies = {k: v for k, v in state.items() if k.startswith(APPS_COPY_DIR + os.sep)}
        torn = [k for k, v in copies.items() if v is not None and v != b"<the setup program>"]
        if torn:
            wrong.append("%s: not a whole program copy: %s" % (label, ", ".join(torn)))
        if exit_code == 0 and self.expected is not None and \
                without_copy(state) != without_copy(self.expected):
            wrong.append("%s: exit 0 but not done: %s" % (
                label, differences(without_copy(state), without_copy(self.expected))))
        return wrong

    def count(self):
        """The clean run: its operations, and the final state every other run must reach."""
        self.reset()
        trace = os.path.join(self.profile.root, "..", os.path.basename(self.profile.root) +
                             ".trace")
        trace = os.path.abspath(trace)
        if os.path.exists(trace):
            os.remove(trace)
        done = run(FAULTS_EXE, self.scenario.command(self.profile), self.profile,
                   "trace=" + kel_e2e.to_windows(trace))
        with open(trace, encoding="utf-8", errors="replace") as stream:
            self.trace = [line.rstrip("\n").split("\t", 3) for line in stream if line[0].isdigit()]
        os.remove(trace)
        state = snapshot(self.profile.root, self.temp_skip)
        problems = [] if done.exit_code == 0 else ["clean run exit %d" % done.exit_code]
        own = self.scenario.check_final(self.profile)
        if own:
            problems.append("clean run: " + own)
        problems += self.invariants(state, done.exit_code, "clean run")
        self.expected = state
        return problems

    def operation(self, n):
        if 1 <= n <= len(self.trace):
            _, kind, function, path = (self.trace[n - 1] + ["", "", "", ""])[:4]
            return "%s %s %s" % ("mutating" if kind == "M" else "read", function, path)
        return "(beyond the clean run's %d operations)" % len(self.trace)

    def one(self, n, mode):
        """One N in one mode; a list of what went wrong."""
        self.reset()
        note = os.path.join(self.profile.root, "..", os.path.basename(self.profile.root) +
                            ".note")
        note = os.path.abspath(note)
        if os.path.exists(note):
            os.remove(note)
        plan = ("fail=%d;error=%s" % (n, self.error)) if mode == "fail" else ("die=%d" % n)
        first = run(FAULTS_EXE, self.scenario.command(self.profile), self.profile,
                    plan + ";note=" + kel_e2e.to_windows(note))
        injected = ""
        if os.path.exists(note):
            with open(note, encoding="utf-8", errors="replace") as stream:
                injected = stream.read().strip()
            os.remove(note)
        # Download threads may order their calls differently from the counting run: what was
        # hit is what this run's note says.
        self.injected = describe_note(injected)
        if first.timed_out:
            return ["%s run timed out" % mode]
        if not injected and n <= len(self.trace) * 9 // 10:
            # A seam that stopped counting would pass every N unseen.
            return ["operation %d was never reached (the clean run had %d; exit %d)" % (
                n, len(self.trace), first.exit_code)]
        if mode == "die" and injected and first.exit_code != DEATH_EXIT:
            return ["die run exited %d, not %d" % (first.exit_code, DEATH_EXIT)]
        label = "%s run (exit %d)" % (mode, first.exit_code)
        wrong = self.invariants(snapshot(self.profile.root, self.temp_skip), first.exit_code,
                                label)
        code = first.exit_code
        runs = 0
        while code != 0 and runs < MAX_RECOVERY_RUNS:
            runs += 1
            again = run(kel_e2e.SETUP_EXE, self.scenario.command(self.profile), self.profile)
            code = again.exit_code
            wrong += self.invariants(snapshot(self.profile.root, self.temp_skip), code,
                                     "recovery run %d (exit %d)" % (runs, code))
        state = snapshot(self.profile.root, self.temp_skip)
        if code != 0:
            wrong.append("still exit %d after %d recovery runs" % (code, runs))
        elif without_copy(state) != without_copy(self.expected) and \
                not any("not done" in w for w in wrong):
            wrong.append("final state differs: " + differences(without_copy(state),
                                                               without_copy(self.expected)))
        if self.verbose:
            print("  %s %d (%s): first exit %d, %d recovery runs%s" % (
                mode, n, self.injected or "nothing injected", first.exit_code, runs,
                "" if not wrong else " FAILED"), flush=True)
        return wrong


def describe_note(line):
    """"! fail<TAB>N<TAB>error<TAB>R|M<TAB>function<TAB>path" (or "! die<TAB>N<TAB>...") as
    "mutating function path"."""
    parts = line.split("\t")
    rest = parts[3:] if parts[0] == "! fail" else parts[2:]
    if len(rest) < 3:
        return ""
    return "%s %s %s" % ("mutating" if rest[0] == "M" else "read", rest[1], rest[2])


def choose(trace, reads, stride, only, match=None, leave_out=()):
    if only:
        return only
    pattern = re.compile(match, re.IGNORECASE) if match else None
    skip = [re.compile(p, re.IGNORECASE) for p in leave_out]
    numbers = [int(t[0]) for t in trace if (reads or t[1] == "M") and
               (pattern is None or pattern.search(" ".join(t[2:]))) and
               not any(p.search(" ".join(t[2:])) for p in skip)]
    return numbers[::stride] if stride > 1 else numbers


def sweep(name, modes, numbers=None, reads=False, stride=1, error="sharing", verbose=False,
          match=None, sample=False):
    """Runs one scenario; returns (failures, operations, mutating, runs, seconds)."""
    started = time.monotonic()
    scenario = make_scenario(name)
    work = Sweep(scenario, error, verbose)
    failures = []
    try:
        problems = work.count()
        total = len(work.trace)
        mutating = sum(1 for t in work.trace if t[1] == "M")
        print("%s: %d operations, %d mutating" % (name, total, mutating), flush=True)
        if problems:
            failures.append((name, 0, "clean", "the clean run itself", problems))
            report(failures[-1], error)
            return failures, total, mutating, 1, time.monotonic() - started
        leave_out = [m for names, mode, m, _ in OPEN_FINDINGS
                     if name in names and mode in modes] if sample else []
        chosen = choose(work.trace, reads, stride, numbers, match, leave_out)
        runs = 0
        for n in chosen:
            for mode in modes:
                runs += 1
                wrong = work.one(n, mode)
                hit = work.injected.split(" ", 1)[-1]
                if wrong and sample and any(
                        re.search(m, hit, re.IGNORECASE) for names, open_mode, m, _ in
                        OPEN_FINDINGS if name in names and open_mode == mode):
                    # Thread order moved an open finding onto this N: still left out.
                    print("left out (open finding): %s %s N=%d: %s" % (name, mode, n, hit))
                    continue
                if wrong:
                    failures.append((name, n, mode, work.injected or work.operation(n), wrong))
                    report(failures[-1], error)
        return failures, total, mutating, runs, time.monotonic() - started
    finally:
        work.close()
        scenario.close()


def report(failure, error):
    name, n, mode, operation, wrong = failure
    print("FAIL %s %s N=%d: %s" % (name, mode, n, operation))
    print("     error injected: %s" % (error if mode == "fail" else "process ended"))
    for line in wrong:
        print("     " + line)
    print("     replay: tests/faults/sweep.py --scenario %s --mode %s --n %d%s" % (
        name, mode, n, " --error " + error if mode == "fail" else ""), flush=True)


# What the sweep found, one row each, replayed by every sample: (scenario, modes, operations
# matched by function and path, error, what a user saw).
FINDINGS = [
    ("update", ("fail",), r"version\.tmp", "denied",
     "VERSION not written, yet exit 0: files of 3.2.0 under the old version's name"),
    ("update", ("fail",), r"^NtCreateFile .*\\version\.deploying$", "denied",
     "VERSION.deploying left after exit 0 when its removal failed: the wizard showed the "
     "folder as an unfinished update until the next install"),
    ("update", ("fail",), r"^DeleteFileW .*\.old\.\d+_\d+$", "sharing",
     "an aside copy whose delete was refused for a moment stayed in the Plugins folder after "
     "exit 0 until a later install deleted it"),
    ("update", ("fail",), r"^GetFinalPathNameByHandleW .*\\version\.tmp\.\d+\.\d+$", "denied",
     "a state file temporary whose proof failed right after it was created stayed beside "
     "VERSION after exit 0, until the next write of VERSION cleared it"),
]

# Found and not fixed yet: (scenarios, mode, operations matched by function and path, what a
# user sees). The sample leaves these operations out until they are fixed; a full sweep still
# reports them.
OPEN_FINDINGS = []

# The deterministic sample scripts/test.sh runs, on two workers (each its own profile):
# (scenario, modes, stride, reads, error). Every mutating operation of one uninstall and one
# update in crash mode; a stride of the rest; the second worker also replays FINDINGS.
SAMPLE = [
    # Uninstalls share the plugin manager's machine-wide locks: one worker runs them all, so
    # that no run of the sample waits for another's.
    [("uninstall", ("die",), 1, False, "sharing"),
     ("uninstall", ("fail",), 13, False, "sharing"),
     ("uninstall-rich", ("die",), 97, False, "sharing")],
    [("update", ("die",), 1, False, "sharing"),
     ("update", ("fail",), 3, False, "denied"),
     ("package-update", ("die", "fail"), 11, False, "full")],
]


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--scenario", choices=SCENARIOS, action="append")
    parser.add_argument("--mode", choices=("fail", "die", "both"), default="both")
    parser.add_argument("--n", type=int, action="append", help="only this N (repeatable)")
    parser.add_argument("--reads", action="store_true", help="reads too, not only mutating")
    parser.add_argument("--stride", type=int, default=1, help="every k-th chosen operation")
    parser.add_argument("--error", choices=sorted(ERRORS), default="sharing")
    parser.add_argument("--match", help="only operations whose function and path match "
                        "this regular expression")
    parser.add_argument("--count", action="store_true", help="only count a clean run")
    parser.add_argument("--sample", action="store_true", help="the sample of scripts/test.sh")
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--verbose", action="store_true")
    args = parser.parse_args()
    if args.list:
        for name in SCENARIOS:
            print(name)
        return 0
    if args.sample:
        workers = [list(SAMPLE[0]), list(SAMPLE[1]) +
                   [(name, modes, 1, True, error, match)
                    for name, modes, match, error, _ in FINDINGS]]
    else:
        modes = ("fail", "die") if args.mode == "both" else (args.mode,)
        workers = [[(name, modes, args.stride, args.reads, args.error, args.match)
                    for name in (args.scenario or ["uninstall", "update"])]]
    started = time.monotonic()
    results = [None] * len(workers)

    def work(index):
        results[index] = run_plan(workers[index], args)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(workers))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    failures = [f for found in results for f in (found if found is not None else ["crashed"])]
    print("sweep: %d failure(s), %.0f s" % (len(failures), time.monotonic() - started))
    return 1 if failures else 0


def run_plan(plan, args):
    failures = []
    for row in plan:
        name, modes, stride, reads, error = row[:5]
        match = row[5] if len(row) > 5 else None
        if args.count:
            scenario = make_scenario(name)
            work = Sweep(scenario)
            try:
                problems = work.count()
                print("%s: %d operations, %d mutating%s" % (
                    name, len(work.trace), sum(1 for t in work.trace if t[1] == "M"),
                    "" if not problems else "; clean run wrong: " + "; ".join(problems)))
                failures += problems
            finally:
                work.close()
                scenario.close()
            continue
        found, total, mutating, runs, seconds = sweep(name, modes, args.n, reads, stride, error,
                                                      args.verbose, match, args.sample)
        print("%s %s: %d of %d operations (%d mutating) tried, %d failed, %.0f s" % (
            name, "/".join(modes), runs, total, mutating, len(found), seconds), flush=True)
        failures += found
    return failures


if __name__ == "__main__":
    sys.exit(main())
