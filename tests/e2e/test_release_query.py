"""The real KelSetup.exe: discovery in a sandboxed profile, origin resolution and the release
query against the sample backend, seen through exit codes and the backend's request log."""

import os
import socket
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import release_builder  # noqa: E402
from kel_e2e import Profile, run_setup, wine_available  # noqa: E402
from sample_backend import LATEST_PATH, SampleBackend  # noqa: E402

RELEASE_FILES = {
    "kel_plugin_center/VERSION": "1.4.2\n",
    "kel_plugin_center/main.rb": "module KelPluginCenter\nend\n",
    "kel_plugin_center.rb": "extension.version = '1.4.2'\n",
}
# No origin from the environment of whoever runs the tests.
NO_ORIGIN_ENV = {"KEL_CLOUD_ORIGIN": None, "KEL_BACKEND_ORIGIN": None}


def closed_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@unittest.skipUnless(wine_available(), "wine or build/bin/KelSetup.exe is missing")
class ReleaseQuery(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.TemporaryDirectory(prefix="kel_e2e_release_")
        cls.release_dir = os.path.join(cls.work.name, "release")
        release_builder.build_release_from_files(RELEASE_FILES, cls.release_dir, "1.4.2")

    @classmethod
    def tearDownClass(cls):
        cls.work.cleanup()

    def setUp(self):
        self.backend = SampleBackend(self.release_dir).start()
        self.addCleanup(self.backend.stop)
        self.profile = Profile("release_query")
        self.addCleanup(self.profile.remove)

    def silent(self, *args, env=None):
        result = run_setup(["--silent", "--no-launch", *args], self.profile,
                           dict(NO_ORIGIN_ENV, **(env or {})))
        self.assertFalse(result.timed_out, result)
        return result

    def test_nothing_discovered_and_no_target_exits_2_without_any_request(self):
        # SketchUp folders outside the five known years do not count.
        self.profile.make_plugins_dir(2022)
        self.profile.make_plugins_dir(2028)
        result = self.silent("--origin", self.backend.origin)
        self.assertEqual(result.exit_code, 2, result)
        self.assertEqual(self.backend.requests(), [])

    def test_backend_down_exits_3(self):
        self.profile.make_plugins_dir(2025)
        result = self.silent("--origin", "http://127.0.0.1:%d" % closed_port())
        self.assertEqual(result.exit_code, 3, result)

    def test_error_envelope_exits_3(self):
        self.profile.make_plugins_dir(2024)
        self.backend.fail("error_envelope", code=1001, msg="暂无可用版本", with_data=True)
        result = self.silent("--origin", self.backend.origin + "/")
        self.assertEqual(result.exit_code, 3, result)
        self.assertEqual(self.backend.request_paths(), [LATEST_PATH])
        self.assertEqual(self.backend.requests()[0]["userAgent"], "KelSetup/1.0")

    def test_wrong_json_types_exit_3_without_a_crash(self):
        self.profile.install_sketchup(2026)  # installed, never started: still a target
        for fields in ({"versionCode": 142}, {"fileSizeBytes": "many"},
                       {"files": [{"relativePath": "a", "sha256": "0" * 64, "size": "1"}]}):
            with self.subTest(fields=fields):
                self.backend.clear_faults()
                self.backend.fail("wrong_types", fields=fields)
                self.assertEqual(self.silent("--origin", self.backend.origin).exit_code, 3)

    def test_bad_answers_exit_3_and_only_a_server_error_is_asked_again(self):
        self.profile.make_plugins_dir(2023)
        # A valid envelope just past the 16 MiB cap: refused, not parsed.
        envelope = '{"code": 0, "msg": "%s", "data": {"versionCode": "9"}}'
        oversized = envelope % ("x" * ((16 << 20) + 1 - len(envelope % "")))
        for kind, params, requests in [("not_json", {}, 1), ("body", {"body": oversized}, 1),
                                       ("status", {"status": 503}, 2),
                                       ("status", {"status": 404}, 1)]:
            with self.subTest(kind=kind, status=params.get("status")):
                self.backend.clear_faults()
                self.backend.clear_log()
                self.backend.fail(kind, **params)
                self.assertEqual(self.silent("--origin", self.backend.origin).exit_code, 3)
                self.assertEqual(self.backend.request_paths(), [LATEST_PATH] * requests)

    def test_origin_from_environment_and_agent_properties(self):
        self.profile.make_plugins_dir(2027)
        # Nothing listens on the 18081 value: had it been used, no request would arrive.
        self.backend.fail("status", status=404)
        self.silent(env={"KEL_CLOUD_ORIGIN": "http://127.0.0.1:18081",
                         "KEL_BACKEND_ORIGIN": " %s/ " % self.backend.origin})
        self.assertEqual(self.backend.request_paths(), [LATEST_PATH])
        self.backend.clear_log()
        self.profile.agent_properties("\ufeffcloudOrigin=\r\ncloud_origin = %s/\r\n"
                                      % self.backend.origin)
        self.silent()
        self.assertEqual(self.backend.request_paths(), [LATEST_PATH])


if __name__ == "__main__":
    unittest.main()
