"""The demo's steps after the build (see demo.sh): release, backend, two silent runs."""
import os
import random
import sys
import time

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(SOURCE, "tests", "support"))
import kel_e2e  # noqa: E402
import release_builder  # noqa: E402
from sample_backend import SampleBackend  # noqa: E402

WORK = os.path.abspath(sys.argv[1])
kel_e2e.WINEPREFIX = os.environ["WINEPREFIX"]
kel_e2e.DRIVE_C = os.path.join(kel_e2e.WINEPREFIX, "drive_c")
YEARS = (2025, 2024)


def plugin_center(version, rng):
    """A plugin center of a few hundred files, its loader and the manager stand-in."""
    with open(os.path.join(kel_e2e.BIN_DIR, "kel_fake_plugin_manager.exe"), "rb") as stream:
        files = {"kel_plugin_center/bin/KelPluginManager.exe": stream.read()}
    files["kel_plugin_center.rb"] = "require 'sketchup'\nrequire 'kel_plugin_center/main'\n"
    for i in range(180):
        files["kel_plugin_center/lib/module_%03d.rb" % i] = (
            "# Kel plugin center %s\nmodule Kel\n  PART_%d = %d\nend\n" % (version, i, i)) * 20
    for i in range(90):
        files["kel_plugin_center/ui/page_%02d.html" % i] = "<p>page %d</p>\n" % i * 50
    for i in range(40):
        files["kel_plugin_center/icons/icon_%02d.png" % i] = rng.randbytes(4096)
    return files


def summary(profile):
    for year in YEARS:
        plugins = profile.plugins_dir(year)
        count = size = 0
        for folder, _, names in os.walk(plugins):
            for name in names:
                count += 1
                size += os.path.getsize(os.path.join(folder, name))
        version_path = kel_e2e.find_path(plugins, "kel_plugin_center/VERSION")
        version = open(version_path, "rb").read() if os.path.isfile(version_path) else b"(none)"
        print("  SketchUp %d: %d files, %d bytes in %s; VERSION = %r" % (
            year, count, size, kel_e2e.to_windows(plugins), version))


def launches(record, count):
    deadline = time.time() + 15
    while time.time() < deadline:
        if os.path.exists(record):
            text = open(record, encoding="utf-8").read()
            if text.count("\n\n") >= count:
                return [r for r in text.split("\n\n") if r.strip()]
        time.sleep(0.2)
    return []


def main():
    rng = random.Random(2026)
    release_dir = os.path.join(WORK, "release")
    v1 = plugin_center("1.0.0", rng)
    data = release_builder.build_release_from_files(v1, release_dir, "1.0.0")
    print("demo: release 1.0.0 with %d files, package %d bytes" % (
        len(data["files"]), data["fileSizeBytes"]))
    profile = kel_e2e.Profile("demo")
    for year in YEARS:
        profile.make_plugins_dir(year)
    record = os.path.join(profile.root, "manager_launches.txt")
    env = {"KEL_MANAGER_RECORD": kel_e2e.to_windows(record)}
    with SampleBackend(release_dir, log_path=os.path.join(WORK, "requests.log")) as backend:
        print("demo: sample backend at %s" % backend.origin)
        print("demo: KelSetup.exe --silent (fresh install)")
        result = kel_e2e.run_setup(["--silent", "--origin", backend.origin], profile, env)
        print("  exit code %d after %.1f s; requests: %s" % (
            result.exit_code, result.elapsed, ", ".join(backend.request_paths())))
        summary(profile)
        for started in launches(record, 1):
            print("  plugin manager started: " + "; ".join(
                line for line in started.splitlines()
                if line.split("=")[0] in ("commandLine", "KEL_PLUGINS_DIR", "KEL_INITIAL_LOGIN")))

        v2 = dict(v1)
        for i in (3, 57, 101, 150):
            v2["kel_plugin_center/lib/module_%03d.rb" % i] += "# fixed in 1.0.1\n"
        v2["kel_plugin_center/ui/page_07.html"] = "<p>page 7, reworded</p>\n"
        data = release_builder.build_release_from_files(v2, release_dir, "1.0.1")
        sizes = {f["sha256"]: f["size"] for f in data["files"]}
        changed = [p for p in v2 if v2[p] != v1[p]]
        changed_bytes = sum(len(v2[p].encode() if isinstance(v2[p], str) else v2[p])
                            for p in changed)
        print("demo: release 1.0.1 changes %d files (%d bytes); package %d bytes" % (
            len(changed), changed_bytes, data["fileSizeBytes"]))
        backend.clear_log()
        print("demo: KelSetup.exe --silent --no-launch (update)")
        result = kel_e2e.run_setup(["--silent", "--no-launch", "--origin", backend.origin],
                                   profile, env)
        paths = backend.request_paths()
        blobs = [p for p in paths if p.startswith(data["blobDownloadUrlPrefix"])]
        fetched = sum(sizes[p.rsplit("/", 1)[1]] for p in blobs)
        print("  exit code %d after %.1f s; %d requests" % (
            result.exit_code, result.elapsed, len(paths)))
        print("  differential update fetched %d files, %d bytes once for %d SketchUp versions "
              "(package not downloaded: %s)" % (len(blobs), fetched, len(YEARS),
                                               data["downloadZipUrl"] not in paths))
        summary(profile)
    profile.remove()
    return 0


if __name__ == "__main__":
    sys.exit(main())
