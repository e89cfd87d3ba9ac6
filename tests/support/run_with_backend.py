#!/usr/bin/env python3
"""Runs one command while a sample backend listens on 127.0.0.1, for unit tests under Wine.

Wine gives a Windows program no handle or pipes to a Linux process, so the Windows test
cannot start the backend itself; ctest starts it here instead. The command sees:

  KEL_TEST_BACKEND_ORIGIN  http://127.0.0.1:PORT serving a small release (version 1.4.2)
  KEL_TEST_BACKEND_LOG     the backend's request log (one JSON line per request), as a
                           Windows path (Z:\\...)
  KEL_TEST_CLOSED_PORT     a port on 127.0.0.1 that nothing listens on
  KEL_TEST_TLS_ORIGIN      https://127.0.0.1:PORT with a self-signed certificate, when
                           openssl is available; else KEL_TEST_TLS_SKIP holds the reason

Usage: run_with_backend.py -- COMMAND [ARGS...]; exits with the command's exit code.
"""

import os
import shutil
import socket
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import release_builder  # noqa: E402
from sample_backend import SampleBackend  # noqa: E402

TEST_RELEASE_FILES = {
    "kel_plugin_center/VERSION": "1.4.2\n",
    "kel_plugin_center/main.rb": "module KelPluginCenter\nend\n",
    "kel_plugin_center/资源/说明.txt": "插件中心\n",
    "kel_plugin_center.rb": "extension.version = '1.4.2'\n",
}


def windows_path(unix_path):
    """Wine's Z: drive is the Unix root."""
    return "Z:" + os.path.abspath(unix_path).replace("/", "\\")


def closed_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def self_signed_certificate(folder):
    """(cert, key) made by openssl, or (None, reason)."""
    openssl = shutil.which("openssl")
    if not openssl:
        return None, "openssl is not installed"
    cert = os.path.join(folder, "cert.pem")
    key = os.path.join(folder, "key.pem")
    result = subprocess.run(
        [openssl, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out",
         cert, "-days", "2", "-subj", "/CN=127.0.0.1"],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    if result.returncode != 0:
        return None, "openssl failed: " + result.stderr.decode("utf-8", "replace").strip()
    return (cert, key), None


def main(argv):
    if "--" not in argv:
        print(__doc__, file=sys.stderr)
        return 2
    command = argv[argv.index("--") + 1:]
    with tempfile.TemporaryDirectory(prefix="kel_backend_") as work:
        release_dir = os.path.join(work, "release")
        release_builder.build_release_from_files(TEST_RELEASE_FILES, release_dir, "1.4.2")
        log = os.path.join(work, "requests.log")
        open(log, "w").close()
        env = dict(os.environ)
        backend = SampleBackend(release_dir, log).start()
        tls_backend = None
        try:
            env["KEL_TEST_BACKEND_ORIGIN"] = backend.origin
            env["KEL_TEST_BACKEND_LOG"] = windows_path(log)
            env["KEL_TEST_CLOSED_PORT"] = str(closed_port())
            pair, reason = self_signed_certificate(work)
            if pair:
                tls_backend = SampleBackend(release_dir, None, tls_cert=pair[0],
                                            tls_key=pair[1]).start()
                env["KEL_TEST_TLS_ORIGIN"] = tls_backend.origin
            else:
                env["KEL_TEST_TLS_SKIP"] = reason
            return subprocess.run(command, env=env, stdin=subprocess.DEVNULL).returncode
        finally:
            backend.stop()
            if tls_backend:
                tls_backend.stop()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
