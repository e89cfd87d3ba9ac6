#!/usr/bin/env python3
"""Digest and download benchmarks against the system's own tools, in one run.

  bench/envnet_bench.py [--hash-mib 256] [--download-mib 512] [--cut-mib 128]
                        [--files 30] [--latency-ms 50] [--parts hash,download,cut,files]

1. Sha256OfFile on a file of --hash-mib MiB against `sha256sum` of the same file.
2. A download of --download-mib MiB from the sample backend into a file, against `curl` of
   the same URL, with the program's peak working set (bounded: the body is streamed).
3. A download of --cut-mib MiB whose connection breaks off once at 50 %: the bytes the server
   sent over the file's size (1.0 would be a perfect resume).
4. --files blobs of a release fetched with HttpDownloadFiles from a backend that adds
   --latency-ms to every request, over 1 and over 4 connections.
Figures of the Windows program are measured inside it (no Wine start-up); the wall time of
the whole Wine run is printed beside them. Needs a build (scripts/build.sh) and its prefix.
"""

import argparse
import os
import random
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))
os.environ.setdefault("KEL_SOURCE_DIR", os.path.dirname(HERE))
import kel_e2e  # noqa: E402
import release_builder  # noqa: E402
from sample_backend import SampleBackend  # noqa: E402

BENCH_EXE = os.path.join(kel_e2e.BIN_DIR, "envnet_bench.exe")


def run_bench(*args):
    started = time.monotonic()
    result = subprocess.run(["wine", BENCH_EXE, *args], env=kel_e2e.wine_env(),
                            stdin=subprocess.DEVNULL, capture_output=True, text=True)
    wall = time.monotonic() - started
    values = dict(line.strip().split("=", 1) for line in result.stdout.splitlines()
                  if "=" in line)
    if result.returncode != 0:
        raise SystemExit("envnet_bench failed: %r %s" % (values, result.stderr[-500:]))
    return values, wall


def timed(command):
    started = time.monotonic()
    output = subprocess.run(command, check=True, stdin=subprocess.DEVNULL,
                            capture_output=True, text=True).stdout
    return time.monotonic() - started, output


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--hash-mib", type=int, default=256)
    parser.add_argument("--download-mib", type=int, default=512)
    parser.add_argument("--cut-mib", type=int, default=128)
    parser.add_argument("--files", type=int, default=30)
    parser.add_argument("--latency-ms", type=int, default=50)
    parser.add_argument("--parts", default="hash,download,cut,files")
    args = parser.parse_args()
    parts = set(args.parts.split(","))
    work = os.path.join(kel_e2e.DRIVE_C, "kel_bench_envnet")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    try:
        if "hash" in parts:
            bench_hash(args, work)
        if "download" in parts:
            bench_download(args, work)
        if "cut" in parts:
            bench_cut(args, work)
        if "files" in parts:
            bench_files(args, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


def bench_cut(args, work):
    size = args.cut_mib << 20
    with SampleBackend() as backend:
        url = "%s/_test/once/1/%d/%d" % (backend.origin, size, size // 2)
        target = os.path.join(work, "cut.bin")
        ours, wall = run_bench("download", url, kel_e2e.to_windows(target))
        sent = backend.bytes_sent
        requests = len(backend.requests())
    print("download of %d MiB cut once at 50 %%: %d requests, server sent %d bytes for %d, "
          "ratio %.3f; %.2f s (Wine run %.2f s); size right: %s" % (
              args.cut_mib, requests, sent, size, sent / size,
              float(ours["download_seconds"]), wall, os.path.getsize(target) == size))
    os.remove(target)


def bench_files(args, work):
    rng = random.Random(5)
    files = {"kel_plugin_center/f_%02d.rb" % i: rng.randbytes(8192 + 97 * i)
             for i in range(args.files)}
    release_dir = os.path.join(work, "release")
    data = release_builder.build_release_from_files(files, release_dir, "1.0.0")
    with SampleBackend(release_dir) as backend:
        backend.fail("latency", route="blob", delay=args.latency_ms / 1000.0)
        urls = [backend.origin + data["blobDownloadUrlPrefix"] + f["sha256"]
                for f in data["files"]]
        times = {}
        for connections in (1, 4):
            folder = os.path.join(work, "blobs_%d" % connections)
            ours, _ = run_bench("files", str(connections), kel_e2e.to_windows(folder), *urls)
            times[connections] = float(ours["files_seconds"])
    print("%d blobs with %d ms latency each: 1 connection %.3f s, 4 connections %.3f s, "
          "speed-up %.2f" % (args.files, args.latency_ms, times[1], times[4],
                             times[1] / times[4]))


def bench_hash(args, work):
    data = os.path.join(work, "hash.bin")
    block = os.urandom(1 << 20)
    with open(data, "wb") as stream:
        for _ in range(args.hash_mib):
            stream.write(block)
    subprocess.run(["cat", data], stdout=subprocess.DEVNULL, check=True)  # warm the cache
    sys_seconds, output = timed(["sha256sum", data])
    ours, wall = run_bench("sha256", kel_e2e.to_windows(data))
    same = output.split()[0] == ours["sha256"]
    mib = args.hash_mib
    print("sha256 of %d MiB: Sha256OfFile %.2f s (%.0f MiB/s, peak working set %.1f MiB, "
          "Wine run %.2f s); sha256sum %.2f s (%.0f MiB/s); digests equal: %s" % (
              mib, float(ours["sha256_seconds"]), float(ours["sha256_mib_per_s"]),
              float(ours["peak_working_set_mib"]), wall, sys_seconds, mib / sys_seconds,
              same))
    os.remove(data)


def bench_download(args, work):
    size = args.download_mib << 20
    with SampleBackend() as backend:
        url = "%s/_test/bytes/%d" % (backend.origin, size)
        curl_file = os.path.join(work, "curl.bin")
        curl_seconds, _ = timed(["curl", "-s", "-f", "--noproxy", "*", "-o", curl_file, url])
        ours_file = os.path.join(work, "download.bin")
        ours, wall = run_bench("download", url, kel_e2e.to_windows(ours_file))
    same = os.path.getsize(curl_file) == os.path.getsize(ours_file) == size
    print("download of %d MiB: HttpGet %.2f s (%.0f MiB/s, %s progress calls, peak working "
          "set %.1f MiB, Wine run %.2f s); curl %.2f s (%.0f MiB/s); sizes equal: %s" % (
              args.download_mib, float(ours["download_seconds"]),
              float(ours["download_mib_per_s"]), ours["progress_calls"],
              float(ours["peak_working_set_mib"]), wall, curl_seconds,
              args.download_mib / curl_seconds, same))
    if float(ours["peak_working_set_mib"]) >= 32:
        print("WARNING: peak working set is not bounded under 32 MiB")


if __name__ == "__main__":
    sys.exit(main())
