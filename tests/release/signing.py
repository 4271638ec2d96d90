"""The release's signatures, by cmake/Sign.cmake as in a real release, with
keys made for this run alone (openssl's authority and code-signing
certificate, a minisign pair) given as a vendor gives them."""
import os
import subprocess
from pathlib import Path

from support.commands import flipped, ran, run, same_bytes
from support.lines import check


def unsigned_env():
    """This environment without any signing key a vendor may have set."""
    return {k: v for k, v in os.environ.items() if not k.startswith("TRELVANE_")}


class Keys:
    """Fresh keys in folder: ca (the authority's certificate), cert and key
    (PEM), p12 and password (PKCS#12 with a password file), minisign_key and
    minisign_pub."""

    def __init__(self, folder):
        at = lambda name: os.path.join(folder, name)  # noqa: E731
        self.ca, self.cert, self.key = at("ca.pem"), at("signer.pem"), at("signer.key")
        self.p12, self.password = at("signer.p12"), at("password")
        self.minisign_key, self.minisign_pub = at("minisign.key"), at("minisign.pub")
        Path(self.password).write_text("test password of this run\n")
        Path(at("signer.ext")).write_text("basicConstraints=CA:FALSE\nkeyUsage=critical,"
                                          "digitalSignature\nextendedKeyUsage=codeSigning\n")
        for cmd in (
                ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                 "-keyout", at("ca.key"), "-out", self.ca, "-subj", "/CN=Trelvane release test CA",
                 "-addext", "basicConstraints=critical,CA:TRUE",
                 "-addext", "keyUsage=critical,keyCertSign,cRLSign"],
                ["openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", self.key,
                 "-out", at("signer.csr"), "-subj", "/CN=Trelvane release test signer"],
                ["openssl", "x509", "-req", "-in", at("signer.csr"), "-CA", self.ca,
                 "-CAkey", at("ca.key"), "-CAcreateserial", "-days", "2",
                 "-extfile", at("signer.ext"), "-out", self.cert],
                ["openssl", "pkcs12", "-export", "-in", self.cert, "-inkey", self.key,
                 "-out", self.p12, "-passout", "file:" + self.password],
                ["minisign", "-G", "-W", "-p", self.minisign_pub, "-s", self.minisign_key]):
            ran(cmd, stdin=subprocess.DEVNULL)

    def env(self, pkcs12=True):
        """A signed release's environment: the Authenticode key as PKCS#12 or PEM files."""
        keys = (dict(TRELVANE_SIGN_PKCS12=self.p12, TRELVANE_SIGN_PASS_FILE=self.password)
                if pkcs12 else dict(TRELVANE_SIGN_CERT=self.cert, TRELVANE_SIGN_KEY=self.key))
        return dict(unsigned_env(), TRELVANE_MINISIGN_KEY=self.minisign_key, **keys)


def changed_copy(path):
    """A copy of the file with its middle byte changed after signing."""
    Path(path + ".changed").write_bytes(flipped(Path(path).read_bytes()))
    return path + ".changed"


def check_signed_program(keys, signed, built):
    """The signed program verifies against the run's own authority, is the
    program as built without its signature (so signing costs the release no
    reproducibility), and not once changed."""
    code, out = run(["osslsigncode", "verify", "-CAfile", keys.ca, "-in", signed])
    check(code == 0 and "Signature verification: ok" in out,
          "%s does not verify against the test authority:\n%s" % (signed, out))
    want = Path(built).read_bytes()
    check(Path(signed).read_bytes() != want,
          "%s is not signed: it is the program as built" % signed)
    ran(["osslsigncode", "remove-signature", "-in", signed, "-out", signed + ".unsigned"])
    same_bytes(Path(signed + ".unsigned").read_bytes(), want,
               "%s without its signature is not %s" % (signed, built))
    code, out = run(["osslsigncode", "verify", "-CAfile", keys.ca, "-in", changed_copy(signed)])
    check(code != 0, "a copy of %s changed after signing still verifies:\n%s" % (signed, out))


def check_signed_sums(keys, cmake, source, sums):
    """cmake/Sign.cmake signs the checksum list only when given a key;
    minisign accepts it signed, and refuses it with a byte changed."""
    sign = [cmake, "-DSIGN_SUMS=" + sums, "-P", os.path.join(source, "cmake", "Sign.cmake")]
    signature = sums + ".minisig"
    code, out = run(sign, env=unsigned_env())
    check(code == 0 and not os.path.exists(signature),
          "without a minisign key, %s was signed or failed:\n%s" % (sums, out))
    code, out = run(sign, env=keys.env(), stdin=subprocess.DEVNULL)
    check(code == 0 and os.path.exists(signature),
          "signing %s made no %s:\n%s" % (sums, signature, out))
    code, out = run(["minisign", "-V", "-p", keys.minisign_pub, "-m", sums])
    check(code == 0, "minisign refuses the signed %s:\n%s" % (sums, out))
    code, out = run(["minisign", "-V", "-p", keys.minisign_pub, "-m", changed_copy(sums),
                     "-x", signature])
    check(code != 0, "minisign accepts %s with a byte changed after signing" % sums)
