#!/usr/bin/env python3
"""Full install and differential update, in one run.

  bench/install_bench.py [--files 2000] [--mib 64] [--changed 10]

1. A generated release of --files files totalling --mib MiB (incompressible content) is
   installed into an empty Plugins folder by InstallIntoPlugins (download, tar.exe extraction,
   deployment with digests), against the system tar's extraction of the same package plus a
   plain CopyFileW of every file.
2. A release that changes --changed files is published and the installation updated: the bytes
   fetched are compared with the bytes changed (1.0 means nothing but the changed files came
   over the wire) and the time with the full install.
Times are measured inside the Windows program (no Wine start-up). Needs a build and its prefix
(scripts/build.sh; scripts/wine-prefix.sh start build).
"""

import argparse
import os
import random
import shutil
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))
os.environ.setdefault("KEL_SOURCE_DIR", os.path.dirname(HERE))
import kel_e2e  # noqa: E402
import release_builder  # noqa: E402
from sample_backend import SampleBackend  # noqa: E402

BENCH_EXE = os.path.join(kel_e2e.BIN_DIR, "install_bench.exe")


def run(mode, origin, profile):
    work = kel_e2e.to_windows(os.path.join(profile.root, "work"))
    result = kel_e2e.run_program(BENCH_EXE, [mode, origin, work], profile, timeout=900)
    values = dict(line.strip().split("=", 1) for line in result.stdout.decode().splitlines()
                  if "=" in line)
    if result.exit_code != 0:
        raise SystemExit("install_bench %s failed: %r %r" % (mode, values, result))
    return {k: (float(v) if k != "error" else v) for k, v in values.items()}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--files", type=int, default=2000)
    parser.add_argument("--mib", type=int, default=64)
    parser.add_argument("--changed", type=int, default=10)
    args = parser.parse_args()
    rng = random.Random(7)
    size = args.mib * 1024 * 1024 // args.files
    files = {"kel_plugin_center.rb": "require 'kel_plugin_center/main'\n"}
    for i in range(args.files - 1):
        files["kel_plugin_center/part_%02d/file_%04d.bin" % (i % 40, i)] = rng.randbytes(size)
    release_dir = tempfile.mkdtemp(prefix="kel_install_bench_")
    profile = kel_e2e.Profile("bench")
    try:
        data = release_builder.build_release_from_files(files, release_dir, "1.0.0")
        with SampleBackend(release_dir) as backend:
            full = run("full", backend.origin, profile)
            changed = sorted(p for p in files if p.endswith(".bin"))[:args.changed]
            for path in changed:
                files[path] = rng.randbytes(size)
            changed_bytes = sum(len(files[p]) for p in changed)
            data = release_builder.build_release_from_files(files, release_dir, "1.0.1")
            sizes = {f["sha256"]: f["size"] for f in data["files"]}
            backend.clear_log()
            update = run("update", backend.origin, profile)
            blobs = [p for p in backend.request_paths()
                     if p.startswith(data["blobDownloadUrlPrefix"])]
            fetched = sum(sizes[p.rsplit("/", 1)[1]] for p in blobs)
    finally:
        profile.remove()
        shutil.rmtree(release_dir, ignore_errors=True)

    print("package: %d files, %.1f MiB (zip %.1f MiB)" % (
        args.files, sum(len(v) for v in files.values()) / 2**20, data["fileSizeBytes"] / 2**20))
    print("full install (InstallIntoPlugins)       %8.0f ms" % full["install_ms"])
    print("  download of the package               %8.0f ms" % full["install_download_ms"])
    print("  extraction (tar.exe, listing first)   %8.0f ms" % full["install_extract_ms"])
    print("  deployment (digest, link test, copy)  %8.0f ms" % full["install_deploy_ms"])
    print("  removal of the staging folder         %8.0f ms" % full["install_cleanup_ms"])
    print("tar.exe extraction + plain copy         %8.0f ms  (%.0f + %.0f ms, %d files)" % (
        full["tar_extract_ms"] + full["plain_copy_ms"], full["tar_extract_ms"],
        full["plain_copy_ms"], full["plain_copy_files"]))
    print("  install without download / (extraction + copy) %5.2f" % (
        (full["install_ms"] - full["install_download_ms"])
        / (full["tar_extract_ms"] + full["plain_copy_ms"])))
    print("differential update of %d files          %8.0f ms  (%.3f of the full install)" % (
        args.changed, update["install_ms"], update["install_ms"] / full["install_ms"]))
    print("  files fetched %d, bytes fetched %d, bytes changed %d: ratio %.3f" % (
        len(blobs), fetched, changed_bytes, fetched / changed_bytes))
    return 0


if __name__ == "__main__":
    sys.exit(main())
