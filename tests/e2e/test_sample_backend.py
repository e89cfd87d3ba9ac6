"""The test tools themselves: every other end-to-end test trusts the release builder and the
sample backend's misbehaviour, so a fault that silently does nothing must be caught here."""

import hashlib
import http.client
import json
import os
import sys
import tempfile
import time
import unittest
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import release_builder  # noqa: E402
import sample_backend  # noqa: E402
from sample_backend import LATEST_PATH, SampleBackend  # noqa: E402

FILES = {
    "kel_plugin_center/VERSION": "2.0.0\n",
    "kel_plugin_center/lib/核心.rb": "puts 1\n",
    "kel_plugin_center/dup.txt": "same",
    "kel_plugin_center/dup2.txt": "same",
    "kel_plugin_center.rb": "extension.version = '2.0.0'\n",
}


class Tools(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.TemporaryDirectory(prefix="kel_tools_")
        cls.release_dir = os.path.join(cls.work.name, "release")
        cls.data = release_builder.build_release_from_files(FILES, cls.release_dir, "2.0.0")

    @classmethod
    def tearDownClass(cls):
        cls.work.cleanup()

    def setUp(self):
        self.log = os.path.join(self.work.name, "log_%s.jsonl" % self.id().split(".")[-1])
        self.backend = SampleBackend(self.release_dir, self.log).start()
        self.addCleanup(self.backend.stop)

    def get(self, path, start=None):
        """(status, headers, body, complete) of one GET, from byte `start` when given;
        complete is False when the body ended before its Content-Length."""
        connection = http.client.HTTPConnection("127.0.0.1", self.backend.port, timeout=30)
        try:
            connection.request("GET", path,
                               headers={} if start is None else {"Range": "bytes=%d-" % start})
            response = connection.getresponse()
            try:
                body, complete = response.read(), True
            except http.client.IncompleteRead as partial:
                body, complete = partial.partial, False
            return response.status, dict(response.getheaders()), body, complete
        finally:
            connection.close()

    def test_release_folder_matches_its_manifest(self):
        with zipfile.ZipFile(os.path.join(self.release_dir, "package.zip")) as archive:
            self.assertEqual(sorted(archive.namelist()), sorted(FILES))
            for entry in self.data["files"]:
                content = archive.read(entry["relativePath"])
                self.assertEqual(hashlib.sha256(content).hexdigest(), entry["sha256"])
                self.assertEqual(len(content), entry["size"])
        self.assertEqual([e["relativePath"] for e in self.data["files"]], sorted(FILES))
        self.assertEqual(release_builder.sha256_of_file(
            os.path.join(self.release_dir, "package.zip")), self.data["zipSha256"])

    def test_serves_latest_package_and_blobs_and_logs_requests(self):
        status, _, body, _ = self.get(LATEST_PATH)
        envelope = json.loads(body)
        self.assertEqual((status, envelope["code"]), (200, 0))
        self.assertEqual(envelope["data"], self.data)
        _, _, package, _ = self.get(self.data["downloadZipUrl"])
        self.assertEqual(hashlib.sha256(package).hexdigest(), self.data["zipSha256"])
        digest = self.data["files"][0]["sha256"]
        _, _, blob, _ = self.get(self.data["blobDownloadUrlPrefix"] + digest)
        self.assertEqual(hashlib.sha256(blob).hexdigest(), digest)
        self.assertEqual(self.get(self.data["blobDownloadUrlPrefix"] + "0" * 64)[0], 404)
        self.assertEqual(self.get(self.data["blobDownloadUrlPrefix"] + "../release.json")[0], 404)
        with open(self.log, encoding="utf-8") as stream:
            logged = [json.loads(line)["path"] for line in stream]
        self.assertEqual(logged, self.backend.request_paths())
        self.assertEqual(len(logged), 5)

    def test_file_faults(self):
        zip_path = self.data["downloadZipUrl"]
        size = self.data["fileSizeBytes"]
        self.backend.fail("wrong_digest")
        _, headers, body, _ = self.get(zip_path)
        self.assertEqual(len(body), size)
        self.assertNotEqual(hashlib.sha256(body).hexdigest(), self.data["zipSha256"])
        self.backend.fail("truncate", keep=10)
        _, headers, body, complete = self.get(zip_path)
        self.assertEqual((headers["Content-Length"], len(body), complete), (str(size), 10, False))
        self.backend.fail("no_length")
        _, headers, body, _ = self.get(zip_path)
        self.assertNotIn("Content-Length", headers)
        self.assertEqual(hashlib.sha256(body).hexdigest(), self.data["zipSha256"])
        self.backend.fail("status", status=500)
        self.assertEqual(self.get(zip_path)[0], 500)
        self.backend.clear_faults()
        self.backend.fail("status", route="blob", status=404)
        self.assertEqual(self.get(zip_path)[0], 200)

    def test_ranges_and_faults_that_break_a_transfer(self):
        zip_path = self.data["downloadZipUrl"]
        size = self.data["fileSizeBytes"]
        with open(os.path.join(self.release_dir, "package.zip"), "rb") as stream:
            package = stream.read()
        core = [f for f in self.data["files"] if f["relativePath"].endswith("核心.rb")][0]
        blob = self.data["blobDownloadUrlPrefix"] + core["sha256"]  # "puts 1\n"
        whole = "bytes 0-%d/%d" % (size - 1, size)
        # (faults, path, start) -> (status, Content-Range, body, complete); faults stay in place
        # for one row only, and a cut_once is spent by its first response.
        rows = [
            ([], zip_path, 10, (206, "bytes 10-%d/%d" % (size - 1, size), package[10:], True)),
            ([], zip_path, 0, (206, whole, package, True)),
            ([], zip_path, size, (416, "bytes */%d" % size, b"", True)),
            ([], blob, 3, (206, "bytes 3-6/7", b"s 1\n", True)),
            ([("no_range", {})], zip_path, 10, (200, None, package, True)),
            ([("truncate", {"keep": 40})], zip_path, 30,
             (206, "bytes 30-%d/%d" % (size - 1, size), package[30:40], False)),
            ([("truncate", {"keep": 40})], zip_path, 50,
             (206, "bytes 50-%d/%d" % (size - 1, size), b"", False)),
            ([("cut_once", {"keep": 25})], zip_path, None, (200, None, package[:25], False)),
            ([("cut_once", {"keep": 4, "route": "blob"})], blob, 2, (206, "bytes 2-6/7", b"ts", False)),
        ]
        for faults, path, start, expected in rows:
            with self.subTest(faults=faults, path=path, start=start):
                self.backend.clear_faults()
                for kind, params in faults:
                    self.backend.fail(kind, **params)
                status, headers, body, complete = self.get(path, start)
                self.assertEqual((status, headers.get("Content-Range"), body, complete), expected)
        # Latency delays the answer and leaves it whole, with or without another fault.
        self.backend.clear_faults()
        self.backend.fail("latency", route="blob", delay=0.3)
        self.backend.fail("no_range", route="blob")
        started = time.monotonic()
        status, headers, body, _ = self.get(blob, 3)
        self.assertEqual((status, headers.get("Content-Range"), body), (200, None, b"puts 1\n"))
        self.assertGreaterEqual(time.monotonic() - started, 0.3)
        # A spent cut_once serves normally again.
        self.backend.clear_faults()
        self.backend.fail("cut_once", keep=25)
        self.assertEqual(self.get(zip_path)[2], package[:25])
        self.assertEqual(self.get(zip_path)[2], package)
        self.assertEqual([r.get("range") for r in self.backend.requests()[:2]],
                         ["bytes=10-", "bytes=0-"])

    def test_envelope_faults(self):
        self.backend.fail("error_envelope", msg="维护中")
        self.assertEqual(json.loads(self.get(LATEST_PATH)[2]), {"code": 1001, "msg": "维护中"})
        self.backend.fail("wrong_types")
        data = json.loads(self.get(LATEST_PATH)[2])["data"]
        self.assertEqual((data["versionCode"], data["fileSizeBytes"]), (142, "many"))
        self.backend.fail("not_json")
        with self.assertRaises(ValueError):
            json.loads(self.get(LATEST_PATH)[2])
        self.backend.fail("body", body=[1, 2])
        self.assertEqual(json.loads(self.get(LATEST_PATH)[2]), [1, 2])

    def test_generated_routes(self):
        _, _, body, _ = self.get("/_test/bytes/70000")
        self.assertEqual(body, sample_backend.pattern_bytes(70000))
        _, headers, body, complete = self.get("/_test/cut/1000/7")
        self.assertEqual((headers["Content-Length"], body, complete),
                         ("1000", sample_backend.pattern_bytes(7), False))
        self.assertEqual(self.get("/_test/status/503")[0], 503)
        sent = self.backend.bytes_sent
        _, headers, body, _ = self.get("/_test/bytes/1000", 990)
        self.assertEqual((headers["Content-Range"], body),
                         ("bytes 990-999/1000", sample_backend.pattern_bytes(10, 990)))
        self.assertEqual(self.backend.bytes_sent - sent, 10)
        # once/K: the first request with a key breaks off, every later one is whole.
        for path, start, expected in [
                ("/_test/once/1/100/40", None, (200, None, 40, False)),
                ("/_test/once/1/100/40", 40, (206, "bytes 40-99/100", 60, True)),
                ("/_test/once/2/100/40?range=ignore", None, (200, None, 40, False)),
                ("/_test/once/2/100/40?range=ignore", 40, (200, None, 100, True)),
                ("/_test/once/3/100/40?range=shifted", 40, (206, "bytes 0-99/100", 40, False)),
                ("/_test/once/3/100/40?range=shifted", 40, (206, "bytes 0-99/100", 100, True))]:
            status, headers, body, complete = self.get(path, start)
            self.assertEqual((status, headers.get("Content-Range"), len(body), complete), expected,
                             (path, start))
        echo = json.loads(self.get("/_test/echo?q=%20x")[2])
        self.assertEqual(echo["path"], "/_test/echo?q=%20x")

    def test_command_line_fault_syntax(self):
        self.assertEqual(sample_backend.parse_fault("cut_once,keep=10,stall=0.5").route, "package")
        fault = sample_backend.parse_fault("truncate@blob,keep=5,delay=0.5,name=x")
        self.assertEqual((fault.kind, fault.route), ("truncate", "blob"))
        self.assertEqual(fault.params, {"keep": 5, "delay": 0.5, "name": "x"})
        with self.assertRaises(ValueError):
            sample_backend.parse_fault("explode")


if __name__ == "__main__":
    unittest.main()
