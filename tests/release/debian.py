"""The Debian package of a released Linux program: its name, control fields
and files; lintian; and, for the machine's own architecture, an install with
dpkg into a throwaway root, where the manual page renders and the installed
program installs the software on the emulator exactly, then a purge that
leaves nothing behind."""
import gzip
import os
import shutil
import subprocess
import tempfile

from signing import run
from support.lines import Failed
from support.runs import updater_run

PROGRAM = "usr/bin/trelvane-update"
MANPAGE = "usr/share/man/man1/trelvane-update.1.gz"
DOC = "usr/share/doc/trelvane-update/"
OVERRIDES = "usr/share/lintian/overrides/trelvane-update"


def package_name(version, software, arch):
    return "trelvane-update_%s+sw%s_%s.deb" % (version, software, arch)


def unpacked(deb, folder):
    """The package's files, unpacked into folder: {path: mode}."""
    code, out = run(["dpkg-deb", "-x", deb, folder])
    if code != 0:
        raise RuntimeError("dpkg-deb -x %s:\n%s" % (deb, out))
    files = {}
    for top, _, names in os.walk(folder):
        for name in names:
            path = os.path.join(top, name)
            files[os.path.relpath(path, folder)] = os.stat(path).st_mode & 0o7777
    return files


def check_contents(deb, program, source, version, software, arch, record):
    """Control fields and exactly the listed files: the program as built,
    the manual page as written, the README and lintian's overrides as in
    the source tree, the notices and the copyright as the build made them
    (its record)."""
    failures = []
    for field, want in (("Package", "trelvane-update"), ("Version", "%s+sw%s" % (version, software)),
                        ("Architecture", arch), ("Depends", "")):
        code, got = run(["dpkg-deb", "-f", deb, field])
        if code != 0 or got.strip() != want:
            failures.append("%s: %s is %r, want %r" % (deb, field, got.strip(), want))
    folder = tempfile.mkdtemp(prefix="trelvane-deb-")
    try:
        files = unpacked(deb, folder)
        want = {PROGRAM: (0o755, program),
                MANPAGE: (0o644, os.path.join(source, "doc", "trelvane-update.1")),
                DOC + "README.md": (0o644, os.path.join(source, "README.md")),
                DOC + "copyright": (0o644, record["copyright"]),
                DOC + os.path.basename(record["notices"]): (0o644, record["notices"]),
                OVERRIDES: (0o644, os.path.join(source, "doc", "lintian-overrides"))}
        if set(files) != set(want):
            return failures + ["%s holds %s, not %s" % (deb, sorted(files), sorted(want))]
        for path, (mode, origin) in want.items():
            with open(os.path.join(folder, path), "rb") as f:
                data = f.read()
            if path.endswith(".gz"):
                data = gzip.decompress(data)
            with open(origin, "rb") as f:
                if data != f.read():
                    failures.append("%s: /%s is not %s" % (deb, path, origin))
            if files[path] != mode:
                failures.append("%s: /%s has mode %o, want %o" % (deb, path, files[path], mode))
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    return failures


def check_lintian(deb):
    """lintian, down to its informational and pedantic tags, finds nothing
    the package does not override with a reason."""
    code, out = run(["lintian", "--fail-on", "error,warning,info,pedantic", "--display-info",
                     "--pedantic", deb])
    # Whether the built-in image's bytes spell some word depends on the
    # image, so its override may go unused.
    unused = "unused-override spelling-error-in-binary "
    tags = [line for line in out.splitlines() if line[:2] in ("E:", "W:", "I:", "P:")
            and unused not in line]
    if tags or (code != 0 and unused not in out):
        return ["lintian %s:\n%s" % (deb, out)]
    return []


def tree(root):
    """Every path under root but dpkg's own database, which records what was
    ever installed."""
    found = set()
    for top, dirs, names in os.walk(root):
        for name in dirs + names:
            path = os.path.relpath(os.path.join(top, name), root)
            if not path.startswith(os.path.join("var", "lib", "dpkg")):
                found.add(path)
    return found


def check_installed(deb, s, foreign=False):
    """dpkg -i into a throwaway root; man -l renders the page there without
    a warning; the installed program, run in the harness session s against
    the emulator, installs the software exactly; dpkg --purge then leaves
    nothing behind. A package for another processor is installed as it
    would be there (dpkg knows only this machine's architectures)."""
    root = tempfile.mkdtemp(prefix="trelvane-root-")
    log = root + "-dpkg.log"
    # Its own log too, so the machine's dpkg log does not record the trial.
    dpkg = ["dpkg", "--root=" + root, "--log=" + log] + ["--force-architecture"] * foreign
    failures = []
    try:
        for folder in ("info", "updates"):
            os.makedirs(os.path.join(root, "var", "lib", "dpkg", folder))
        open(os.path.join(root, "var", "lib", "dpkg", "status"), "w").close()
        before = tree(root)
        code, out = run(dpkg + ["-i", deb])
        if code != 0:
            return ["dpkg -i %s:\n%s" % (deb, out)]
        done = subprocess.run(["man", "--warnings", "-l", os.path.join(root, MANPAGE)],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                              env=dict(os.environ, MANWIDTH="80"))
        if done.returncode != 0 or done.stderr or "EXIT STATUS" not in done.stdout:
            failures.append("man -l /%s:\n%s" % (MANPAGE, done.stderr))
        s.build = os.path.dirname(os.path.join(root, PROGRAM))  # the session runs it from there
        try:
            updater_run(s, "3", lambda x: x.full_run("3"))
        except Failed as why:
            failures.append("the installed program's run against the emulator: %s; %s"
                            % (why, s.where()))
        code, out = run(dpkg + ["--purge", "trelvane-update"])
        left = sorted(tree(root) - before)
        if code != 0 or left:
            failures.append("dpkg --purge (status %d) left %s:\n%s" % (code, left, out))
        code, out = run(dpkg + ["-s", "trelvane-update"])
        if "Status: install" in out:
            failures.append("dpkg still lists trelvane-update after the purge:\n" + out)
    finally:
        shutil.rmtree(root, ignore_errors=True)
        if os.path.exists(log):
            os.remove(log)
    return failures
