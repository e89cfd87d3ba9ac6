"""Driving the real KelSetup.exe wizard under Wine on a private X display.

A display (Xvfb), a sandboxed profile inside the prefix's drive C, a small release backend on
loopback, and the wizard_probe program that reads and presses the window's controls.
"""
import json
import os
import shutil
import subprocess
import tempfile
import threading
import time

import kel_e2e
import release_builder
from sample_backend import SampleBackend

BUILD = kel_e2e.BUILD_DIR
BIN = kel_e2e.BIN_DIR


def wine_env(extra=None):
    # Command-line arguments reach Windows through the locale's code page.
    return kel_e2e.wine_env({"LC_ALL": "C.UTF-8", **(extra or {})})


class Display:
    """A private Xvfb server; its number is chosen by the server itself."""

    count = 0

    def __init__(self, size="800x600"):
        self.size = size
        read_fd, write_fd = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", size + "x24", "-nolisten", "tcp"],
            pass_fds=(write_fd,), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        os.close(write_fd)
        with os.fdopen(read_fd) as pipe:
            number = pipe.readline().strip()
        if not number:
            self.process.kill()
            raise RuntimeError("Xvfb did not start")
        self.name = ":" + number
        # A display number is free again once its server has ended, and the next server often
        # takes it: a desktop of that name may still be bound to the ended server, so each
        # display names its own.
        Display.count += 1
        self.desktop = "KelWizard%s_%d_%d" % (number, os.getpid(), Display.count)

    def screenshot(self, path):
        subprocess.run(["import", "-display", self.name, "-window", "root", path], check=True,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)

    def close(self):
        self.process.terminate()
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()


class Profile(kel_e2e.Profile):
    """A sandboxed profile with SketchUp versions the wizard will find."""

    def __init__(self):
        super().__init__("wizard")
        self.unix = self.root
        self.win = self.win_root

    def add_sketchup(self, year, installed_version=None):
        """A SketchUp version with its Plugins folder; optionally the plugin center in it."""
        self.install_sketchup(year)
        plugins = self.make_plugins_dir(year)
        if installed_version is not None:
            center = os.path.join(plugins, "kel_plugin_center")
            os.makedirs(center)
            with open(os.path.join(center, "VERSION"), "w") as f:
                f.write(installed_version + "\n")
        return self.plugins_win(year)

    def plugins_unix(self, year):
        return self.plugins_dir(year)

    def plugins_win(self, year):
        return kel_e2e.to_windows(self.plugins_dir(year))


class Backend:
    """The sample backend serving a small release, with the pacing the wizard tests need."""

    def __init__(self, version="2.0.0", metadata_delay=0.0, package_status=200,
                 hold_package=False, hold_metadata=False, with_manager=False):
        files = {
            "kel_plugin_center.rb": b"# loader\nextension.version = '%s'\n" % version.encode(),
            "kel_plugin_center/main.rb": b"puts 'kel'\n",
            "kel_plugin_center/lib/core.rb": b"module Kel; end\n",
        }
        if with_manager:
            # Records every start in the file named by KEL_MANAGER_RECORD.
            with open(os.path.join(BIN, "kel_fake_plugin_manager.exe"), "rb") as stream:
                files["kel_plugin_center/bin/KelPluginManager.exe"] = stream.read()
        self.release_dir = tempfile.mkdtemp(prefix="kel_wizard_release_")
        data = release_builder.build_release_from_files(files, self.release_dir, version)
        # A package size the status line shows in whole KiB.
        data["fileSizeBytes"] += 4096 * 1024
        release_builder.save_release(self.release_dir, data)
        self.metadata = {"code": 0, "msg": "success", "data": data}
        self.metadata_delay = metadata_delay
        # With hold_package each package request waits for release_package(), with
        # hold_metadata each release query for release_metadata(): a test that needs the
        # wizard in the middle of a request holds it there, however slowly the window came up.
        self.hold_package = hold_package
        self.package_gate = threading.Semaphore(0)
        self.hold_metadata = hold_metadata
        self.metadata_gate = threading.Event()
        self.server = SampleBackend(self.release_dir)
        self.server.on_request = self._pace
        if package_status != 200:
            self.server.fail("status", "package", status=package_status)
        self.server.start()
        self.origin = self.server.origin

    def _pace(self, route, _path):
        if route == "latest":
            time.sleep(self.metadata_delay)
            if self.hold_metadata:
                self.metadata_gate.wait(120)
        elif route == "package" and self.hold_package:
            self.package_gate.acquire(timeout=120)

    @property
    def requests(self):
        return self.server.request_paths()

    def release_package(self):
        self.package_gate.release()

    def release_metadata(self):
        self.metadata_gate.set()

    def wait_for_requests(self, path, count, timeout=60):
        deadline = time.time() + timeout
        while self.requests.count(path) < count:
            if time.time() > deadline:
                raise AssertionError("%s requested %d times, not %d" % (
                    path, self.requests.count(path), count))
            time.sleep(0.1)

    def close(self):
        self.metadata_gate.set()
        for _ in range(8):
            self.package_gate.release()
        self.server.stop()
        shutil.rmtree(self.release_dir, ignore_errors=True)


class Wizard:
    """One KelSetup.exe run in the wizard mode, and the probe that talks to it."""

    def __init__(self, display, profile, *args, env=None):
        self.env = wine_env({"DISPLAY": display.name, "KEL_WIZARD_DESKTOP": display.desktop,
                             "KEL_WIZARD_DESKTOP_SIZE": display.size, **(env or {})})
        # Wine resets the profile variables of a process started from Linux: the probe sets
        # them and starts the wizard, and hands back its exit code.
        variables = ["%s=%s" % item for item in profile.env().items()]
        self.process = subprocess.Popen(
            ["wine", os.path.join(BIN, "wizard_probe.exe"), "run", *variables, "--",
             kel_e2e.to_windows(os.path.join(BIN, "KelSetup.exe")), *args],
            env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL)
        # The probe names the wizard's process first; later probes look at its window only.
        line = self.process.stdout.readline().decode("utf-8", "replace").strip()
        self.pid = json.loads(line)["pid"] if line.startswith("{") else 0
        self.env["KEL_WIZARD_PID"] = str(self.pid)

    def probe(self, *args, check=True):
        result = subprocess.run(["wine", os.path.join(BIN, "wizard_probe.exe"), *map(str, args)],
                                env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, timeout=120)
        if check and result.returncode != 0:
            raise AssertionError("wizard_probe %s: exit %d %s" % (
                " ".join(map(str, args)), result.returncode, result.stdout.decode("utf-8", "replace")))
        out = result.stdout.decode("utf-8").strip()
        return json.loads(out.splitlines()[-1]) if out else {}

    def dump(self):
        return self.probe("dump")

    def keys(self, *keys):
        return self.probe("keys", *keys)["focus"]

    def wait_text(self, control_id, text, ms=30000):
        return self.probe("wait-text", control_id, text, ms)["text"]

    def box(self, button=None, ms=20000):
        return self.probe("box", *([button, ms] if button else []))

    def exit_code(self, timeout=60):
        code = self.process.wait(timeout)
        self.process.stdout.close()
        return code

    def kill(self):
        if self.process.poll() is None:
            self.probe("close", check=False)
            try:
                self.process.wait(15)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process.stdout.close()
