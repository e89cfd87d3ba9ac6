#!/usr/bin/env python3
"""Uninstall cost against the size of the Plugins folder.

  bench/uninstall_bench.py [--sizes 20,80,320] [--repeat 1]

For each N: a Plugins folder with the plugin center, N marketplace plugins (gate + companion
folder of 5 files + stored payload, one registry record each) beside N plain user extensions
(entry file + folder), uninstalled by the real KelSetup.exe --silent --uninstall --target under
Wine. Reports the wall time of the run, the time of a run over a folder with the center only
(Wine start-up and the fixed work), the time per plugin above that, and the ratio to the
previous size (linear cost: about size ratio, i.e. 4). Every run must end with 0 and leave
exactly the user extensions. Needs a build and its prefix (scripts/build.sh;
scripts/wine-prefix.sh start build).
"""

import argparse
import hashlib
import json
import os
import shutil
import statistics
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))
os.environ.setdefault("KEL_SOURCE_DIR", os.path.dirname(HERE))
import kel_e2e  # noqa: E402

GATE = ("# frozen_string_literal: true\n# kel_plugin_center_gate: 1\n"
        "KelPluginCenter::API.dispatch_entry('%s') if defined?(KelPluginCenter::API)\n")


def write(path, content):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as stream:
        stream.write(content.encode() if isinstance(content, str) else content)


def populate(plugins, count):
    write(os.path.join(plugins, "kel_plugin_center.rb"), "# center\n")
    write(os.path.join(plugins, "!kel-plugin-gate.rb"), "# loader\n")
    write(os.path.join(plugins, "kel_plugin_center", "VERSION"), "3.2.0")
    managed = os.path.join(plugins, "kel_plugin_center", "managed_plugins")
    records = {}
    for i in range(count):
        plugin_id = "mk.tool%04d" % i
        name = "tool%04d" % i
        write(os.path.join(plugins, name + ".rb"), GATE % plugin_id)
        for part in range(5):
            write(os.path.join(plugins, name, "part%d.rb" % part), "# %s part %d\n" % (name, part))
        entry = "# %s\nrequire '%s/part0'\n" % (plugin_id, name)
        digest = hashlib.sha256(entry.encode()).hexdigest()
        write(os.path.join(managed, "payloads", plugin_id, digest, name + ".rb"), entry)
        records[plugin_id] = {"name": name, "version": "1.0.0", "installRoot": "<plugins>",
                              "loadFile": name + ".rb", "companionName": name,
                              "loadPolicy": "startup", "indexState": "stale",
                              "installSource": "marketplace"}
        user = "own%04d" % i
        write(os.path.join(plugins, user + ".rb"), "# own\nrequire '%s/main'\n" % user)
        write(os.path.join(plugins, user, "main.rb"), "puts %d\n" % i)
    write(os.path.join(managed, "plugin_registry.json"),
          json.dumps({"schemaVersion": 8, "generation": 1, "updatedAt": 1700000000,
                      "plugins": records}, indent=2))


def left_over(plugins):
    return sorted(os.listdir(plugins))


def timed_uninstall(profile, plugins, count):
    if os.path.isdir(plugins):
        shutil.rmtree(plugins)
    os.makedirs(plugins)
    populate(plugins, count)
    result = kel_e2e.run_setup(["--silent", "--uninstall", "--target", kel_e2e.to_windows(plugins)],
                               profile, timeout=1800)
    expected = sorted(["own%04d.rb" % i for i in range(count)] + ["own%04d" % i for i in range(count)])
    if result.exit_code != 0 or left_over(plugins) != expected:
        raise SystemExit("uninstall of %d failed: %r" % (count, result))
    return result.elapsed


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default="20,80,320")
    parser.add_argument("--repeat", type=int, default=1)
    args = parser.parse_args()
    sizes = [int(size) for size in args.sizes.split(",")]
    with kel_e2e.Profile("uninstall_bench") as profile:
        plugins = profile.make_plugins_dir(2025)
        timed_uninstall(profile, plugins, 0)  # the prefix's first start is slower
        base = statistics.median(timed_uninstall(profile, plugins, 0) for _ in range(args.repeat))
        print("center only: %.2f s" % base)
        print("%6s %10s %10s %18s %8s" % ("N", "time (s)", "time / N", "(time - base) / N",
                                             "ratio"))
        previous = None
        for count in sizes:
            elapsed = statistics.median(timed_uninstall(profile, plugins, count)
                                        for _ in range(args.repeat))
            ratio = "" if previous is None else "%.2f" % (elapsed / previous)
            print("%6d %10.2f %10.3f %18.3f %8s" % (count, elapsed, elapsed / count,
                                                  (elapsed - base) / count, ratio))
            sys.stdout.flush()
            previous = elapsed


if __name__ == "__main__":
    main()
