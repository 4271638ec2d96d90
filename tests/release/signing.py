"""The release's signatures, checked with keys made for this run alone: a
certificate authority and a code-signing certificate from openssl, a minisign
key pair. The signing itself is cmake/Sign.cmake's, as in a real release,
given the keys through the environment a vendor sets."""
import os
import shutil
import subprocess


def run(cmd, env=None, **kw):
    """Runs cmd; its return code and everything it printed. A tool that is
    not installed fails the check with its name, not a traceback."""
    try:
        done = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                              errors="replace", env=env, **kw)
    except FileNotFoundError:
        return 127, "%s is not installed (./run-tests.sh installs it)" % cmd[0]
    return done.returncode, done.stdout


def unsigned_env():
    """This environment without any signing key a vendor may have set."""
    return {k: v for k, v in os.environ.items() if not k.startswith("TRELVANE_")}


class Keys:
    """Fresh keys in folder: ca (the authority's certificate), cert and key
    (PEM), p12 and password (PKCS#12 with a password file), minisign_key and
    minisign_pub."""

    def __init__(self, folder):
        os.makedirs(folder, exist_ok=True)
        at = lambda name: os.path.join(folder, name)  # noqa: E731
        self.ca, self.cert, self.key = at("ca.pem"), at("signer.pem"), at("signer.key")
        self.p12, self.password = at("signer.p12"), at("password")
        self.minisign_key, self.minisign_pub = at("minisign.key"), at("minisign.pub")
        with open(self.password, "w") as f:
            f.write("test password of this run\n")
        with open(at("signer.ext"), "w") as f:
            f.write("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                    "extendedKeyUsage=codeSigning\n")
        steps = [
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
            ["minisign", "-G", "-W", "-p", self.minisign_pub, "-s", self.minisign_key],
        ]
        for cmd in steps:
            code, out = run(cmd, stdin=subprocess.DEVNULL)
            if code != 0:
                raise RuntimeError("%s failed:\n%s" % (" ".join(cmd), out))

    def env(self, pkcs12=True):
        """The environment of a signed release: the Authenticode key as
        PKCS#12 with its password file, or as PEM files; the minisign key."""
        env = unsigned_env()
        if pkcs12:
            env.update(TRELVANE_SIGN_PKCS12=self.p12, TRELVANE_SIGN_PASS_FILE=self.password)
        else:
            env.update(TRELVANE_SIGN_CERT=self.cert, TRELVANE_SIGN_KEY=self.key)
        env["TRELVANE_MINISIGN_KEY"] = self.minisign_key
        return env


def changed_copy(path):
    """A copy of the file with its middle byte changed, as whoever tampers
    with it after signing would."""
    with open(path, "rb") as f:
        data = bytearray(f.read())
    data[len(data) // 2] ^= 0x01
    copy = path + ".changed"
    with open(copy, "wb") as f:
        f.write(data)
    return copy


def check_signed_program(keys, signed, built):
    """The signed program verifies against the run's own authority, is the
    program as built once its signature is removed (so signing costs the
    release none of its reproducibility), and a copy changed after signing
    does not verify."""
    failures = []
    code, out = run(["osslsigncode", "verify", "-CAfile", keys.ca, "-in", signed])
    if code != 0 or "Signature verification: ok" not in out:
        failures.append("%s does not verify against the test authority:\n%s" % (signed, out))
    stripped = signed + ".unsigned"
    code, out = run(["osslsigncode", "remove-signature", "-in", signed, "-out", stripped])
    with open(built, "rb") as f:
        want = f.read()
    with open(signed, "rb") as f:
        if f.read() == want:
            failures.append("%s is not signed: it is the program as built" % signed)
    if code != 0:
        failures.append("osslsigncode remove-signature %s:\n%s" % (signed, out))
    else:
        with open(stripped, "rb") as f:
            data = f.read()
        if data != want:
            at = next((i for i, (a, b) in enumerate(zip(data, want)) if a != b),
                      min(len(data), len(want)))
            failures.append("%s without its signature is not %s: %d and %d bytes, first "
                            "difference at byte %d" % (signed, built, len(data), len(want), at))
    code, out = run(["osslsigncode", "verify", "-CAfile", keys.ca, "-in", changed_copy(signed)])
    if code == 0:
        failures.append("a copy of %s changed after signing still verifies:\n%s" % (signed, out))
    return failures


def check_signed_copy(keys, cmake, source, built, folder):
    """A copy of the built program signed by cmake/Sign.cmake with the key in
    the other form a vendor may have, PEM files, passes the same checks."""
    copy = os.path.join(folder, "signed-with-pem-" + os.path.basename(built))
    shutil.copyfile(built, copy)
    code, out = run([cmake, "-DSIGN_PROGRAM=" + copy, "-P",
                     os.path.join(source, "cmake", "Sign.cmake")], env=keys.env(pkcs12=False))
    if code != 0:
        return ["signing %s with PEM files failed:\n%s" % (copy, out)]
    return check_signed_program(keys, copy, built)


def check_signed_sums(keys, cmake, source, sums):
    """cmake/Sign.cmake, as ./make-release.sh runs it, signs the checksum list
    only when given a key; minisign accepts the signed list with the public
    key and refuses it after one byte of it has changed."""
    script = os.path.join(source, "cmake", "Sign.cmake")
    signature = sums + ".minisig"
    failures = []
    code, out = run([cmake, "-DSIGN_SUMS=" + sums, "-P", script], env=unsigned_env())
    if code != 0 or os.path.exists(signature):
        failures.append("without a minisign key, %s was signed or failed:\n%s" % (sums, out))
    code, out = run([cmake, "-DSIGN_SUMS=" + sums, "-P", script], env=keys.env(),
                    stdin=subprocess.DEVNULL)
    if code != 0 or not os.path.exists(signature):
        return failures + ["signing %s made no %s:\n%s" % (sums, signature, out)]
    code, out = run(["minisign", "-V", "-p", keys.minisign_pub, "-m", sums])
    if code != 0:
        failures.append("minisign refuses the signed %s:\n%s" % (sums, out))
    code, out = run(["minisign", "-V", "-p", keys.minisign_pub, "-m", changed_copy(sums),
                     "-x", signature])
    if code == 0:
        failures.append("minisign accepts %s with a byte changed after signing" % sums)
    return failures
