"""KelSetupSigned.exe (the program built with two throwaway release keys pinned, made by the
build of the tests) under Wine: only current releases signed by a pinned key install, never an
older one over a newer one, never a download past its signed size, and an offline package only
with its signed manifest. Every refusal leaves the target byte-identical."""
import base64
import json
import os
import shutil
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
sys.path.insert(0, os.path.join(HERE, "..", "..", "scripts"))
import kel_e2e  # noqa: E402
import release_builder  # noqa: E402
import sign_release  # noqa: E402
from sample_backend import SampleBackend  # noqa: E402

SIGNED_EXE = os.path.join(kel_e2e.BIN_DIR, "KelSetupSigned.exe")
KEYS = os.path.join(kel_e2e.BUILD_DIR, "test_release_keys")
LATEST = "/v3/installer/latest"


def key(name):
    return sign_release.load_private_key(os.path.join(KEYS, name, sign_release.PRIVATE_NAME))


def tree(version):
    files = {"kel_plugin_center.rb": "require 'kel_plugin_center/main' # %s\n" % version}
    for i in range(4):
        files["kel_plugin_center/lib/part_%d.rb" % i] = "# part %d of %s\n" % (i, version)
    return files


class SignedReleaseTest(unittest.TestCase):
    def setUp(self):
        self.profile = kel_e2e.Profile("signed")
        self.addCleanup(self.profile.remove)
        self.plugins = self.profile.make_plugins_dir(2025)
        self.release_dir = tempfile.mkdtemp(prefix="kel_signed_release_")
        self.addCleanup(shutil.rmtree, self.release_dir, True)
        self.backend = SampleBackend(self.release_dir)
        self.backend.start()
        self.addCleanup(self.backend.stop)
        self.log = os.path.join(self.profile.root, "run.log")

    def publish(self, version, signers=("first",), expires_in=3600, edit=None):
        """Builds the release and serves its envelope signed by `signers`; `edit(data)` changes
        the data before it is signed. Returns the envelope."""
        data = release_builder.build_release_from_files(tree(version), self.release_dir, version)
        if edit:
            edit(data)
        envelope = sign_release.envelope(data, [key(s) for s in signers], time.time() + expires_in)
        self.serve(envelope)
        return envelope

    def serve(self, document):
        self.backend.clear_faults()
        self.backend.fail("body", body=document)

    def run_setup(self, *args, program=SIGNED_EXE):
        self.backend.clear_log()
        if os.path.exists(self.log):
            os.remove(self.log)
        run = kel_e2e.run_program(program, ["--silent", "--no-launch", "--target",
                                            kel_e2e.to_windows(self.plugins), "--origin",
                                            self.backend.origin, "--log",
                                            kel_e2e.to_windows(self.log), *args], self.profile)
        self.assertFalse(run.timed_out, run)
        self.assertEqual(os.listdir(self.profile.temp), [])
        return run.exit_code

    def errors(self):
        with open(self.log, "r", encoding="utf-8") as stream:
            return [line for line in stream.read().splitlines() if " error: " in line]

    def version(self):
        with open(os.path.join(self.plugins, "kel_plugin_center", "VERSION"), "rb") as stream:
            return stream.read()

    def assert_refused(self, code, message, args=()):
        before = kel_e2e.tree_bytes(self.plugins)
        self.assertEqual(self.run_setup(*args), code)
        self.assertEqual(kel_e2e.tree_bytes(self.plugins), before)
        self.assertTrue(any(message in line for line in self.errors()), self.errors())

    def test_only_current_documents_signed_by_a_pinned_key_install(self):
        self.publish("2.0.0")
        self.assertEqual(self.run_setup(), 0)
        self.assertEqual(self.version(), b"2.0.0\n")

        good = self.publish("3.0.0")
        unsigned = {key_: good[key_] for key_ in ("code", "msg", "data")}
        data_altered = json.loads(json.dumps(good))
        data_altered["data"]["versionCode"] = "3.0.1"
        signed = json.loads(base64.b64decode(good["signed"]))
        signed["zipSha256"] = "0" * 64
        signed_altered = dict(good, signed=base64.b64encode(
            json.dumps(signed, ensure_ascii=False).encode("utf-8")).decode("ascii"))
        data = good["data"]
        rows = [
            ("unsigned answer", unsigned, "版本元数据签名无效"),
            ("data altered after signing", data_altered, "版本元数据签名无效"),
            ("signed altered", signed_altered, "版本元数据签名无效"),
            ("unpinned key", sign_release.envelope(data, [key("unpinned")], time.time() + 3600),
             "版本元数据签名无效"),
            ("expired", sign_release.envelope(data, [key("first")], time.time() - 400),
             "版本元数据已过期"),
        ]
        for name, document, message in rows:
            with self.subTest(name):
                self.serve(document)
                self.assert_refused(3, message)
                self.assertEqual(self.backend.request_paths(), [LATEST])

        # A key rotation: the second pinned key alone.
        self.publish("3.0.0", signers=("second",))
        self.assertEqual(self.run_setup(), 0)
        self.assertEqual(self.version(), b"3.0.0\n")

    def test_an_older_release_needs_allow_downgrade(self):
        self.publish("3.0.0")
        self.assertEqual(self.run_setup(), 0)
        self.publish("2.5.0")
        self.assert_refused(4, "服务器提供的版本低于已安装版本")
        self.assertEqual(self.backend.request_paths(), [LATEST])
        self.assertEqual(self.run_setup("--allow-downgrade"), 0)
        self.assertEqual(self.version(), b"2.5.0\n")
        with open(os.path.join(self.plugins, "kel_plugin_center.rb"), "rb") as stream:
            self.assertEqual(stream.read(), tree("2.5.0")["kel_plugin_center.rb"].encode())

    def test_a_package_served_past_its_signed_size_fails(self):
        def shrink(data):
            data["fileSizeBytes"] -= 1
        self.publish("2.0.0", edit=shrink)
        self.assert_refused(4, "下载文件大于版本元数据给出的大小")
        self.assertFalse(os.path.exists(os.path.join(self.plugins, "kel_plugin_center")))

    def test_offline_packages_need_their_signed_manifest(self):
        envelope = self.publish("2.0.0")
        package = os.path.join(self.profile.root, "kel.zip")
        shutil.copy(os.path.join(self.release_dir, release_builder.PACKAGE_ZIP), package)
        manifest = package + ".release.json"
        offline = ("--package", kel_e2e.to_windows(package))
        other = sign_release.envelope(dict(envelope["data"], zipSha256="1" * 64), [key("first")],
                                      time.time() + 3600)
        rows = [
            ("no manifest", None),
            ("unsigned manifest", {k: envelope[k] for k in ("code", "msg", "data")}),
            ("another package's manifest", other),
            ("expired manifest", sign_release.envelope(envelope["data"], [key("first")],
                                                       time.time() - 400)),
        ]
        for name, document in rows:
            with self.subTest(name):
                if document is not None:
                    with open(manifest, "w", encoding="utf-8") as stream:
                        json.dump(document, stream)
                self.assert_refused(4, "离线安装包缺少有效的签名清单", offline)
                self.assertEqual(self.backend.request_paths(), [])
        with open(manifest, "w", encoding="utf-8") as stream:
            json.dump(envelope, stream)
        self.assertEqual(self.run_setup(*offline), 0)
        self.assertEqual(self.backend.request_paths(), [])
        # The signed manifest names the version the package itself does not carry.
        self.assertEqual(self.version(), b"2.0.0\n")

    def test_the_default_build_reads_the_envelope_as_before(self):
        self.publish("2.0.0", signers=("unpinned",))
        self.assertEqual(self.run_setup(program=kel_e2e.SETUP_EXE), 0)
        self.assertEqual(self.version(), b"2.0.0\n")


if __name__ == "__main__":
    unittest.main()
