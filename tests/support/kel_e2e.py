"""Shared helpers of the end-to-end tests: the real KelSetup.exe under Wine, in a sandbox.

    from kel_e2e import Profile, run_setup
    with Profile("install") as profile:
        plugins = profile.make_plugins_dir(2025)
        result = run_setup(["--silent", "--origin", origin], profile)
        assert result.exit_code == 0, result

Wine sets APPDATA, LOCALAPPDATA, ProgramFiles, ProgramW6432, ProgramFiles(x86), TEMP and TMP
itself when a Windows process starts, whatever the Linux environment says. Programs are
therefore started through build/bin/kel_e2e_launcher.exe, which sets NAME from every
KEL_SANDBOX_NAME variable and then runs the program; other variables (KEL_CLOUD_ORIGIN, ...)
pass through Wine unchanged.

The environment of ctest gives KEL_BUILD_DIR and KEL_SOURCE_DIR; without them the default
build/ folder of the source tree is used.
"""

import contextlib
import itertools
import os
import shutil
import subprocess
import sys
import tempfile
import time
import uuid

SUPPORT_DIR = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.environ.get("KEL_SOURCE_DIR") or os.path.dirname(os.path.dirname(SUPPORT_DIR))
BUILD_DIR = os.environ.get("KEL_BUILD_DIR") or os.path.join(SOURCE_DIR, "build")
BIN_DIR = os.path.join(BUILD_DIR, "bin")
WINEPREFIX = os.path.join(BUILD_DIR, "wineprefix")
DRIVE_C = os.path.join(WINEPREFIX, "drive_c")
SETUP_EXE = os.path.join(BIN_DIR, "KelSetup.exe")
LAUNCHER_EXE = os.path.join(BIN_DIR, "kel_e2e_launcher.exe")
SANDBOX_PREFIX = "KEL_SANDBOX_"
# Exit codes of the launcher itself (never used by the programs under test).
LAUNCHER_USAGE, LAUNCHER_START_FAILED, TIMED_OUT = 120, 121, 124

PROXY_VARIABLES = ("http_proxy", "https_proxy", "all_proxy", "no_proxy",
                   "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "NO_PROXY")
PROFILE_VARIABLES = ("APPDATA", "LOCALAPPDATA", "ProgramFiles", "ProgramW6432",
                     "ProgramFiles(x86)", "TEMP", "TMP")
_counter = itertools.count()


def wine_env(extra=None):
    """The Linux environment for running wine in this build tree's prefix."""
    env = dict(os.environ)
    for name in PROXY_VARIABLES:
        env.pop(name, None)
    env.update({
        "WINEPREFIX": WINEPREFIX,
        "WINEDEBUG": "-all",
        "WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d",
        "WINEARCH": "win64",
        "KEL_BUILD_DIR": BUILD_DIR,
    })
    display = harness_display()
    if display:
        env["DISPLAY"] = display
    env.update(extra or {})
    return env


def harness_display():
    """The virtual screen the test harness started for this build tree, if any."""
    try:
        with open(os.path.join(BUILD_DIR, "xvfb.display"), encoding="ascii") as f:
            return f.read().strip()
    except OSError:
        return ""


def to_windows(unix_path):
    """C:\\... for paths inside the prefix's drive_c, Z:\\... (the Unix root) otherwise."""
    path = os.path.abspath(unix_path)
    drive_c = os.path.abspath(DRIVE_C)
    if path == drive_c or path.startswith(drive_c + os.sep):
        rest = path[len(drive_c):].lstrip(os.sep)
        return "C:\\" + rest.replace("/", "\\")
    return "Z:" + path.replace("/", "\\")


def find_path(base, relative):
    """The Linux path of `relative` ("a/b/c") below base, each name matched as Windows does
    (ignoring case): folders and state files the product creates take lower-case names."""
    path = base
    for part in relative.split("/"):
        exact = os.path.join(path, part)
        if not os.path.exists(exact) and os.path.isdir(path):
            exact = next((os.path.join(path, name) for name in os.listdir(path)
                          if name.lower() == part.lower()), exact)
        path = exact
    return path


def to_unix(windows_path):
    """The inverse of to_windows for C: and Z: paths."""
    drive, rest = windows_path[:2].upper(), windows_path[2:].replace("\\", "/").lstrip("/")
    if drive == "C:":
        return os.path.join(DRIVE_C, rest) if rest else DRIVE_C
    if drive == "Z:":
        return "/" + rest
    raise ValueError("no Unix path for " + windows_path)


class Profile:
    """A fresh profile folder under drive_c: Roaming, Local, Temp, Program Files (x86 too)."""

    def __init__(self, name="e2e"):
        folder = "%s_%d_%d_%s" % (name, os.getpid(), next(_counter), uuid.uuid4().hex[:8])
        self.root = os.path.join(DRIVE_C, "kel_e2e", folder)
        self.roaming = os.path.join(self.root, "Roaming")
        self.local = os.path.join(self.root, "Local")
        self.temp = os.path.join(self.root, "Temp")
        self.program_files = os.path.join(self.root, "Program Files")
        self.program_files_x86 = os.path.join(self.root, "Program Files (x86)")
        for path in (self.roaming, self.local, self.temp, self.program_files,
                     self.program_files_x86):
            os.makedirs(path)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.remove()

    def remove(self):
        # Never follow links a test made inside the profile.
        shutil.rmtree(self.root, ignore_errors=True)

    @property
    def win_root(self):
        return to_windows(self.root)

    def env(self):
        """The profile variables as Windows paths (what the program should see)."""
        return {
            "APPDATA": to_windows(self.roaming),
            "LOCALAPPDATA": to_windows(self.local),
            "ProgramFiles": to_windows(self.program_files),
            "ProgramW6432": to_windows(self.program_files),
            "ProgramFiles(x86)": to_windows(self.program_files_x86),
            "TEMP": to_windows(self.temp),
            "TMP": to_windows(self.temp),
        }

    def version_dir(self, year):
        return os.path.join(self.roaming, "SketchUp", "SketchUp %d" % year)

    def plugins_dir(self, year):
        """<APPDATA>\\SketchUp\\SketchUp <year>\\SketchUp\\Plugins (Unix path; not created)."""
        return os.path.join(self.version_dir(year), "SketchUp", "Plugins")

    def make_plugins_dir(self, year):
        path = self.plugins_dir(year)
        os.makedirs(path, exist_ok=True)
        return path

    def install_sketchup(self, year):
        """A machine-wide install folder, as SketchUp's installer leaves it."""
        path = os.path.join(self.program_files, "SketchUp", "SketchUp %d" % year)
        os.makedirs(path, exist_ok=True)
        return path

    def agent_properties(self, text):
        """Writes <LOCALAPPDATA>\\KelPlatformV3\\agent.properties."""
        folder = os.path.join(self.local, "KelPlatformV3")
        os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, "agent.properties")
        with open(path, "wb") as stream:
            stream.write(text.encode("utf-8") if isinstance(text, str) else text)
        return path


class RunResult:
    def __init__(self, exit_code, stdout, stderr, elapsed):
        self.exit_code = exit_code
        self.timed_out = exit_code == TIMED_OUT
        self.stdout = stdout
        self.stderr = stderr
        self.elapsed = elapsed

    def __repr__(self):
        return "RunResult(exit_code=%r, elapsed=%.1fs, stderr=%r)" % (
            self.exit_code, self.elapsed, self.stderr[-2000:])


def run_program(program, args=(), profile=None, env=None, timeout=120, cwd=None):
    """Runs a Windows program under Wine (through the launcher) and returns a RunResult.

    program: a Unix path to the .exe; args: its arguments (quoted the Windows way);
    profile: a Profile whose variables the program gets; env: more variables (Linux side,
    passed through Wine; set one to None to remove it). After `timeout` seconds the program
    is terminated and exit_code is TIMED_OUT."""
    if not os.path.isfile(LAUNCHER_EXE):
        raise FileNotFoundError(LAUNCHER_EXE + " is missing: build the project first")
    extra = {"KEL_E2E_TIMEOUT_MS": str(int(timeout * 1000))}
    if profile is not None:
        for name, value in profile.env().items():
            extra[SANDBOX_PREFIX + name] = value
    removed = [name for name, value in (env or {}).items() if value is None]
    extra.update({name: value for name, value in (env or {}).items() if value is not None})
    full_env = wine_env(extra)
    for name in removed:
        full_env.pop(name, None)
    command = ["wine", LAUNCHER_EXE, to_windows(program), *args]
    # Files, not pipes: a Wine service started by this run would hold pipes open forever.
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        started = time.monotonic()
        try:
            code = subprocess.run(command, env=full_env, stdin=subprocess.DEVNULL, stdout=out,
                                  stderr=err, cwd=cwd, timeout=timeout + 60).returncode
        except subprocess.TimeoutExpired:
            code = TIMED_OUT
        elapsed = time.monotonic() - started
        out.seek(0)
        err.seek(0)
        return RunResult(code, out.read(), err.read().decode("utf-8", "replace"), elapsed)


def tree_bytes(folder):
    """Every folder ("rel/") and file (rel -> bytes) below `folder`: a before/after picture."""
    found = {}
    for parent, dirs, files in os.walk(folder):
        for name in dirs:
            found[os.path.relpath(os.path.join(parent, name), folder) + "/"] = None
        for name in files:
            with open(os.path.join(parent, name), "rb") as stream:
                found[os.path.relpath(os.path.join(parent, name), folder)] = stream.read()
    return found


@contextlib.contextmanager
def holding(profile, *options):
    """Another process (SketchUp, the plugin manager) holding files or mutexes while the block
    runs: build/bin/decommission_uninstall_holder.exe with `options` (--lock PATH, --open
    PATH, --mutex NAME; Windows paths)."""
    ready = os.path.join(profile.root, "holder.ready")
    release = os.path.join(profile.root, "holder.release")
    for marker in (ready, release):
        if os.path.exists(marker):
            os.remove(marker)
    process = subprocess.Popen(
        ["wine", LAUNCHER_EXE, to_windows(os.path.join(BIN_DIR, "decommission_uninstall_holder.exe")),
         to_windows(ready), to_windows(release), *options, "--seconds", "300"],
        env=wine_env({"KEL_E2E_TIMEOUT_MS": "360000"}),
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.time() + 60
        while not os.path.exists(ready) and time.time() < deadline:
            if process.poll() is not None:
                raise AssertionError("the holder could not take hold")
            time.sleep(0.1)
        if not os.path.exists(ready):
            raise AssertionError("the holder did not take hold within 60 s")
        yield
    finally:
        with open(release, "w") as stream:
            stream.write("x")
        process.wait(timeout=60)


def run_setup(args=(), profile=None, env=None, timeout=120):
    """Runs build/bin/KelSetup.exe with the given arguments; returns a RunResult."""
    return run_program(SETUP_EXE, args, profile, env, timeout)


def wine_available():
    return shutil.which("wine") is not None and os.path.isfile(SETUP_EXE)


if __name__ == "__main__":
    # Manual check: python3 kel_e2e.py ARGS... runs KelSetup.exe in a throw-away profile.
    with Profile("manual") as manual:
        print(run_setup(sys.argv[1:], manual))
