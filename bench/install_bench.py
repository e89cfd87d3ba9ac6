#!/usr/bin/env python3
"""Full install, differential update, several SketchUp versions in one run, and a
differential update over a slow network.

  bench/install_bench.py [--files 2000] [--mib 64] [--changed 10] [--repeat 5]
                         [--versions 3] [--latency-files 30] [--latency-ms 50]

1. A generated release of --files files totalling --mib MiB (incompressible content) is
   installed into an empty Plugins folder by InstallIntoPlugins (download, tar.exe extraction,
   deployment with digests), against the system tar's extraction of the same package plus a
   plain CopyFileW of every file; --repeat times, the median ratio is reported.
2. A release that changes --changed files is published and the installation updated: the bytes
   fetched are compared with the bytes changed (1.0 means nothing but the changed files came
   over the wire) and the time with the full install. Then a release that changes every file
   is installed over it by package: each old file waits aside until all are written.
3. A smaller release is installed into --versions Plugins folders in one run, then updated:
   the backend must see one package request, then one request per changed file.
4. --latency-files of that release change and one folder is updated while the backend waits
   --latency-ms before every answer.
Times are measured inside the Windows program (no Wine start-up). Needs a build and its prefix
(scripts/build.sh; scripts/wine-prefix.sh start build).
"""

import argparse
import os
import random
import shutil
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))
os.environ.setdefault("KEL_SOURCE_DIR", os.path.dirname(HERE))
import kel_e2e  # noqa: E402
import release_builder  # noqa: E402
from sample_backend import SampleBackend  # noqa: E402

BENCH_EXE = os.path.join(kel_e2e.BIN_DIR, "install_bench.exe")


def run(mode, origin, profile, *extra, work="work"):
    work = kel_e2e.to_windows(os.path.join(profile.root, work))
    result = kel_e2e.run_program(BENCH_EXE, [mode, origin, work, *extra], profile, timeout=900)
    values = dict(line.strip().split("=", 1) for line in result.stdout.decode().splitlines()
                  if "=" in line)
    if result.exit_code != 0:
        raise SystemExit("install_bench %s failed: %r %r" % (mode, values, result))
    return {k: (float(v) if k != "error" else v) for k, v in values.items()}


def generated(rng, count, mib):
    size = mib * 1024 * 1024 // count
    files = {"kel_plugin_center.rb": "require 'kel_plugin_center/main'\n"}
    for i in range(count - 1):
        files["kel_plugin_center/part_%02d/file_%04d.bin" % (i % 40, i)] = rng.randbytes(size)
    return files, size


def change(rng, files, count, size):
    changed = sorted(p for p in files if p.endswith(".bin"))[:count]
    for path in changed:
        files[path] = rng.randbytes(size)
    return sum(len(files[p]) for p in changed)


def requests_of(backend, prefix):
    return [p for p in backend.request_paths() if p.startswith(prefix)]


def full_and_update(args, rng):
    files, size = generated(rng, args.files, args.mib)
    release_dir = tempfile.mkdtemp(prefix="kel_install_bench_")
    ratios, noflush_ratios, fulls = [], [], []
    try:
        data = release_builder.build_release_from_files(files, release_dir, "1.0.0")
        with SampleBackend(release_dir) as backend:
            for i in range(args.repeat):
                profile = kel_e2e.Profile("bench")
                try:
                    full = run("full", backend.origin, profile)
                finally:
                    if i + 1 < args.repeat:
                        profile.remove()
                fulls.append(full)
                baseline = full["tar_extract_ms"] + full["plain_copy_ms"]
                ratios.append((full["install_ms"] - full["install_download_ms"]) / baseline)
                # The second install finds the package in nobody's cache: it downloads again.
                noflush_ratios.append((full["install_noflush_ms"] - full["install_download_ms"])
                                      / baseline)
            try:
                changed_bytes = change(rng, files, args.changed, size)
                data = release_builder.build_release_from_files(files, release_dir, "1.0.1")
                sizes = {f["sha256"]: f["size"] for f in data["files"]}
                backend.clear_log()
                update = run("update", backend.origin, profile)
                blobs = requests_of(backend, data["blobDownloadUrlPrefix"])
                fetched = sum(sizes[p.rsplit("/", 1)[1]] for p in blobs)
                change(rng, files, args.files, size)
                release_builder.build_release_from_files(files, release_dir, "1.0.2")
                replaced = run("update", backend.origin, profile)
            finally:
                profile.remove()
    finally:
        shutil.rmtree(release_dir, ignore_errors=True)

    full = sorted(fulls, key=lambda f: f["install_ms"])[len(fulls) // 2]
    print("package: %d files, %.1f MiB (zip %.1f MiB)" % (
        args.files, sum(len(v) for v in files.values()) / 2**20, data["fileSizeBytes"] / 2**20))
    print("full install, median of %d (InstallIntoPlugins) %8.0f ms" % (len(fulls),
                                                                        full["install_ms"]))
    print("  download of the package               %8.0f ms" % full["install_download_ms"])
    print("  extraction (tar.exe, listing first)   %8.0f ms" % full["install_extract_ms"])
    print("  comparison (digests, link tests)      %8.0f ms" % full["install_deploy_ms"])
    print("  writing (hashed copy, flush), VERSION, staging removal %8.0f ms" %
          full["install_cleanup_ms"])
    print("tar.exe extraction + plain copy         %8.0f ms  (%.0f + %.0f ms, %d files)" % (
        full["tar_extract_ms"] + full["plain_copy_ms"], full["tar_extract_ms"],
        full["plain_copy_ms"], full["plain_copy_files"]))
    print("  install without download / (extraction + copy): %s, median %.2f" % (
        " ".join("%.2f" % r for r in ratios), statistics.median(ratios)))
    print("the same without flushing each file      %8.0f ms  (flushes: %+.0f ms, median %+.0f ms)"
          % (full["install_noflush_ms"], full["install_ms"] - full["install_noflush_ms"],
             statistics.median(f["install_ms"] - f["install_noflush_ms"] for f in fulls)))
    print("  install without flushes, without download / (extraction + copy): median %.2f" %
          statistics.median(noflush_ratios))
    print("one flush of the whole volume instead    %8.0f ms" % full["volume_flush_ms"])
    print("differential update of %d files          %8.0f ms  (%.3f of the full install)" % (
        args.changed, update["install_ms"], update["install_ms"] / full["install_ms"]))
    print("  files fetched %d, bytes fetched %d, bytes changed %d: ratio %.3f" % (
        len(blobs), fetched, changed_bytes, fetched / changed_bytes))
    print("package update replacing all %d files %8.0f ms  (%.3f of the full install)" % (
        replaced["written_files"], replaced["install_ms"],
        replaced["install_ms"] / full["install_ms"]))


def versions_and_latency(args, rng):
    files, size = generated(rng, 300, 8)
    release_dir = tempfile.mkdtemp(prefix="kel_install_bench_")
    profile = kel_e2e.Profile("bench")
    try:
        data = release_builder.build_release_from_files(files, release_dir, "1.0.0")
        with SampleBackend(release_dir) as backend:
            install = run("multi", backend.origin, profile, str(args.versions))
            packages = requests_of(backend, data["downloadZipUrl"])
            change(rng, files, args.changed, size)
            data = release_builder.build_release_from_files(files, release_dir, "1.0.1")
            backend.clear_log()
            update = run("multi", backend.origin, profile, str(args.versions))
            blobs = requests_of(backend, data["blobDownloadUrlPrefix"])
            print("%d versions in one run (300 files, 8 MiB):" % args.versions)
            print("  install %8.0f ms, package requests %d" % (install["install_ms"],
                                                               len(packages)))
            print("  update of %d files %8.0f ms, blob requests %d" % (
                args.changed, update["install_ms"], len(blobs)))

            run("full", backend.origin, profile, work="slow")
            change(rng, files, args.latency_files, size)
            data = release_builder.build_release_from_files(files, release_dir, "1.0.2")
            backend.on_request = lambda route, path: time.sleep(args.latency_ms / 1000.0)
            backend.clear_log()
            slow = run("update", backend.origin, profile, work="slow")
            blobs = requests_of(backend, data["blobDownloadUrlPrefix"])
            print("differential update of %d files, %d ms latency per request:" % (
                args.latency_files, args.latency_ms))
            print("  %8.0f ms, blob requests %d" % (slow["install_ms"], len(blobs)))
    finally:
        profile.remove()
        shutil.rmtree(release_dir, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--files", type=int, default=2000)
    parser.add_argument("--mib", type=int, default=64)
    parser.add_argument("--changed", type=int, default=10)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--versions", type=int, default=3)
    parser.add_argument("--latency-files", type=int, default=30)
    parser.add_argument("--latency-ms", type=int, default=50)
    parser.add_argument("--versions-only", action="store_true", help="only steps 3 and 4")
    args = parser.parse_args()
    rng = random.Random(7)
    if not args.versions_only:
        full_and_update(args, rng)
    versions_and_latency(args, rng)
    return 0


if __name__ == "__main__":
    sys.exit(main())
