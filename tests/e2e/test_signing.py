"""Authenticode signing of the built Launcher.exe (scripts/sign.sh, which scripts/release.sh --sign
runs) with a throwaway certificate made here. The signed Launcher.exe and the test Lobby land in
SIGNED_BIN, where CTest then runs a launch test on them."""

import os
import re
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

from harness import BIN, LAUNCHER_NAME, LOBBY_NAME, pe_bits

ROOT = Path(__file__).resolve().parents[2]
SIGN = ROOT / "scripts" / "sign.sh"
SIGNED_BIN = Path(os.environ.get("SIGNED_BIN", BIN.parent / "signed"))
PASSWORD = "throwaway pass phrase"


def make_certificate(folder, name):
    """A self-signed code-signing certificate (PEM) and a PFX holding it with its key."""
    key, certificate, pfx = folder / f"{name}.key", folder / f"{name}.pem", folder / f"{name}.pfx"
    env = dict(os.environ, PFX_PASSWORD=PASSWORD)
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", f"/CN={name}",
                    "-addext", "extendedKeyUsage=codeSigning", "-keyout", key, "-out", certificate],
                   check=True, capture_output=True)
    subprocess.run(["openssl", "pkcs12", "-export", "-inkey", key, "-in", certificate, "-out", pfx,
                    "-passout", "env:PFX_PASSWORD"], env=env, check=True, capture_output=True)
    return certificate, pfx


def sign(pfx, source, target, password=PASSWORD, path=None):
    env = dict(os.environ)
    env.pop("LAUNCHER_SIGN_PASSWORD", None)
    if password is not None:
        env["LAUNCHER_SIGN_PASSWORD"] = password
    if path:
        env["PATH"] = f"{path}:{env['PATH']}"
    return subprocess.run([SIGN, pfx, source, target], env=env, stdin=subprocess.DEVNULL, capture_output=True,
                          text=True)


def verify(file, certificate):
    return subprocess.run(["osslsigncode", "verify", "-CAfile", certificate, "-in", file], stdin=subprocess.DEVNULL,
                          capture_output=True, text=True)


class Signing(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = Path(tempfile.mkdtemp(prefix="launcher-signing-"))
        cls.certificate, cls.pfx = make_certificate(cls.folder, "Zintu test publisher")
        cls.other_certificate, _ = make_certificate(cls.folder, "Someone else")
        # The tools the signer starts, seen through wrappers that write down their command lines.
        cls.wrappers = cls.folder / "wrappers"
        cls.wrappers.mkdir()
        cls.command_lines = cls.folder / "command-lines.txt"
        for tool in ("openssl", "osslsigncode"):
            wrapper = cls.wrappers / tool
            wrapper.write_text(f'#!/bin/sh\nprintf "%s\\n" "{tool} $*" >> "{cls.command_lines}"\n'
                               f'exec {shutil.which(tool)} "$@"\n')
            wrapper.chmod(0o755)
        shutil.rmtree(SIGNED_BIN, ignore_errors=True)
        SIGNED_BIN.mkdir(parents=True)
        shutil.copy2(BIN / LOBBY_NAME, SIGNED_BIN / LOBBY_NAME)
        cls.signed = SIGNED_BIN / LAUNCHER_NAME
        cls.signing = sign(cls.pfx, BIN / LAUNCHER_NAME, cls.signed, path=cls.wrappers)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder, ignore_errors=True)

    def setUp(self):
        self.assertEqual(self.signing.returncode, 0, self.signing.stderr)

    # The signature holds a SHA-256 digest and verifies against the signing certificate, and only
    # against it; the unsigned build verifies against nothing.
    def test_signature_verifies_against_the_signing_certificate(self):
        result = verify(self.signed, self.certificate)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertRegex(result.stdout, r"Message digest algorithm\s*:\s*SHA256")
        self.assertIn("Subject: /CN=Zintu test publisher", result.stdout)
        self.assertIn("Text description: Zintu Launcher", result.stdout)
        self.assertNotEqual(verify(self.signed, self.other_certificate).returncode, 0)
        self.assertNotEqual(verify(BIN / LAUNCHER_NAME, self.certificate).returncode, 0)

    # Signing keeps what a release needs: machine, subsystem, imports, manifest and icon. The
    # x86_64 build that stands in where 32-bit programs cannot run fails the machine check alone.
    def test_signed_file_passes_the_pe_check(self):
        result = subprocess.run(["/usr/bin/python3", ROOT / "scripts" / "check_pe.py", self.signed],
                                capture_output=True, text=True)
        if pe_bits(BIN / LAUNCHER_NAME) == 32:
            self.assertEqual(result.returncode, 0, result.stdout)
        else:
            failed = [line.split(":")[0] for line in result.stdout.splitlines() if line.startswith("FAIL")]
            self.assertEqual(failed, ["FAIL machine"], result.stdout)

    # The password reaches the tools through the environment and a descriptor, never a command line.
    def test_password_stays_off_command_lines(self):
        command_lines = self.command_lines.read_text()
        self.assertRegex(command_lines, r"(?m)^openssl pkcs12 ")
        self.assertRegex(command_lines, r"(?m)^osslsigncode sign ")
        self.assertNotIn(PASSWORD, command_lines)

    # A wrong password, no password, no certificate file, or a signer that fails half-way: a
    # message naming the cause, and the output left as it was, with nothing written beside it.
    def test_failures_leave_no_output(self):
        not_a_program = self.folder / "not-a-program.exe"
        not_a_program.write_bytes(b"MZ but nothing more")
        cases = [
            ("wrong password", self.pfx, "not the password", BIN / LAUNCHER_NAME, "wrong password"),
            ("no password", self.pfx, None, BIN / LAUNCHER_NAME, "LAUNCHER_SIGN_PASSWORD is not set"),
            ("no certificate file", self.folder / "missing.pfx", PASSWORD, BIN / LAUNCHER_NAME,
             "no certificate file"),
            ("signer fails", self.pfx, PASSWORD, not_a_program, "osslsigncode could not sign"),
        ]
        for name, pfx, password, source, message in cases:
            with self.subTest(name):
                target = self.folder / "out" / LAUNCHER_NAME
                target.parent.mkdir(exist_ok=True)
                target.write_bytes(b"an earlier release")
                result = sign(pfx, source, target, password=password)
                self.assertNotEqual(result.returncode, 0)
                self.assertRegex(result.stderr, rf"^sign: .*{re.escape(message)}")
                self.assertEqual(list(target.parent.iterdir()), [target])
                self.assertEqual(target.read_bytes(), b"an earlier release")


if __name__ == "__main__":
    unittest.main()
