#!/usr/bin/env python3
"""Builds a plugin-center release folder from a tree of files.

The tree holds what lands in a SketchUp Plugins folder (for example
kel_plugin_center/... and kel_plugin_center.rb). The release folder gets:

  package.zip        every file of the tree, '/' separated entries, sorted
  release.json       the "data" object of /v3/installer/latest (versionCode,
                     zipSha256, fileSizeBytes, download paths, files manifest)
  blobs/<sha256>     each distinct file content, named by its digest

sample_backend.py serves such a folder.

Command line:
  release_builder.py SOURCE_TREE RELEASE_DIR --version 1.4.2 [--changelog TEXT]
                     [--su-versions TEXT] [--store]
"""

import argparse
import hashlib
import json
import os
import shutil
import sys
import zipfile

DEFAULT_ZIP_PATH = "/v3/installer/download/zip"
DEFAULT_BLOB_PREFIX = "/v3/installer/download/blob/"
RELEASE_JSON = "release.json"
PACKAGE_ZIP = "package.zip"
BLOBS_DIR = "blobs"
# Fixed entry time: the same tree always gives the same package digest.
_ZIP_TIME = (2026, 1, 1, 0, 0, 0)


def sha256_of_file(path):
    digest = hashlib.sha256()
    with open(path, "rb") as stream:
        for block in iter(lambda: stream.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def sha256_of_bytes(data):
    return hashlib.sha256(data).hexdigest()


def tree_files(source):
    """Relative '/' paths of every regular file below source, sorted."""
    found = []
    for folder, dirs, files in os.walk(source):
        dirs.sort()
        for name in files:
            full = os.path.join(folder, name)
            if os.path.isfile(full):
                found.append(os.path.relpath(full, source).replace(os.sep, "/"))
    return sorted(found)


def write_tree(root, files):
    """Writes {relative path: bytes or str} below root; a helper for tests."""
    for relative, content in files.items():
        path = os.path.join(root, *relative.split("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if isinstance(content, str):
            content = content.encode("utf-8")
        with open(path, "wb") as stream:
            stream.write(content)


def build_release(source, release_dir, version, changelog="", su_versions="2023-2027",
                  store=False, extra=None):
    """Builds release_dir from the tree at source; returns the "data" object.

    extra: further keys merged into the data object (for example to test other
    download paths)."""
    os.makedirs(os.path.join(release_dir, BLOBS_DIR), exist_ok=True)
    manifest = []
    package = os.path.join(release_dir, PACKAGE_ZIP)
    method = zipfile.ZIP_STORED if store else zipfile.ZIP_DEFLATED
    with zipfile.ZipFile(package, "w", method) as archive:
        for relative in tree_files(source):
            full = os.path.join(source, *relative.split("/"))
            with open(full, "rb") as stream:
                content = stream.read()
            info = zipfile.ZipInfo(relative, _ZIP_TIME)
            info.compress_type = method
            info.external_attr = 0o644 << 16
            archive.writestr(info, content)
            digest = sha256_of_bytes(content)
            blob = os.path.join(release_dir, BLOBS_DIR, digest)
            if not os.path.exists(blob):
                with open(blob, "wb") as stream:
                    stream.write(content)
            manifest.append({"relativePath": relative, "sha256": digest, "size": len(content)})
    data = {
        "featureCode": "kel_plugin_center",
        "pluginName": "Kel 插件中心",
        "versionCode": version,
        "zipSha256": sha256_of_file(package),
        "fileSizeBytes": os.path.getsize(package),
        "changelog": changelog,
        "suVersions": su_versions,
        "downloadZipUrl": DEFAULT_ZIP_PATH,
        "blobDownloadUrlPrefix": DEFAULT_BLOB_PREFIX,
        "files": manifest,
    }
    if extra:
        data.update(extra)
    save_release(release_dir, data)
    return data


def build_release_from_files(files, release_dir, version, **options):
    """Like build_release, from {relative path: content} instead of a tree on disk."""
    source = os.path.join(release_dir, "_source")
    if os.path.isdir(source):
        shutil.rmtree(source)
    write_tree(source, files)
    try:
        return build_release(source, release_dir, version, **options)
    finally:
        shutil.rmtree(source, ignore_errors=True)


def load_release(release_dir):
    with open(os.path.join(release_dir, RELEASE_JSON), "r", encoding="utf-8") as stream:
        return json.load(stream)


def save_release(release_dir, data):
    """Rewrites release.json, for example after a test edited the data object."""
    with open(os.path.join(release_dir, RELEASE_JSON), "w", encoding="utf-8") as stream:
        json.dump(data, stream, ensure_ascii=False, indent=2)


def main(argv=None):
    parser = argparse.ArgumentParser(description="Build a plugin-center release folder.")
    parser.add_argument("source", help="tree of files as they land in a Plugins folder")
    parser.add_argument("release_dir", help="output folder")
    parser.add_argument("--version", required=True, help="versionCode, for example 1.4.2")
    parser.add_argument("--changelog", default="")
    parser.add_argument("--su-versions", default="2023-2027")
    parser.add_argument("--store", action="store_true", help="no compression")
    args = parser.parse_args(argv)
    if not os.path.isdir(args.source):
        parser.error("no such folder: " + args.source)
    data = build_release(args.source, args.release_dir, args.version, args.changelog,
                         args.su_versions, args.store)
    print("%s: %d files, package %d bytes, sha256 %s" % (
        args.release_dir, len(data["files"]), data["fileSizeBytes"], data["zipSha256"]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
