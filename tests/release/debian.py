"""A released Linux program's Debian package: its control fields and files,
lintian, an install into a throwaway root and a purge that leaves nothing."""
import gzip
import os
import subprocess
from pathlib import Path

import manpage
import released
from support import texts
from support.commands import ran, run
from support.lines import Failed, check, fail
from support.runs import updater_run

PROGRAM = "usr/bin/trelvane-update"
MANPAGE = "usr/share/man/man1/trelvane-update.1.gz"
DOC = "usr/share/doc/trelvane-update/"
OVERRIDES = "usr/share/lintian/overrides/trelvane-update"


def tree(root):
    """Every path under root, relative to it."""
    return {os.path.relpath(os.path.join(top, name), root)
            for top, dirs, names in os.walk(root) for name in dirs + names}


def check_contents(deb, facts, software):
    """Control fields, and exactly these files, the build's or the source's:
    program, manual page, README, copyright, notices, lintian's overrides."""
    source = facts["source"]
    for field, want in (("Package", "trelvane-update"), ("Architecture", facts["deb"]),
                        ("Version", "%s+sw%s" % (facts["version"], software)), ("Depends", "")):
        code, got = run(["dpkg-deb", "-f", deb, field])
        check(code == 0 and got.strip() == want,
              "%s: %s is %r, want %r" % (deb, field, got.strip(), want))
    files = released.members(deb)
    want = {PROGRAM: (0o755, facts["program"]),
            MANPAGE: (0o644, facts["manpage"]),
            DOC + "README.md": (0o644, os.path.join(source, "README.md")),
            DOC + "copyright": (0o644, facts["copyright"]),
            DOC + os.path.basename(facts["notices"]): (0o644, facts["notices"]),
            OVERRIDES: (0o644, os.path.join(source, "doc", "lintian-overrides"))}
    check(set(files) == set(want), "%s holds %s, not %s" % (deb, sorted(files), sorted(want)))
    for path, (mode, origin) in want.items():
        data = files[path].data
        data = gzip.decompress(data) if path.endswith(".gz") else data
        check(data == Path(origin).read_bytes(), "%s: /%s is not %s" % (deb, path, origin))
        check(files[path].mode == mode,
              "%s: /%s has mode %o, want %o" % (deb, path, files[path].mode, mode))


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
    check(not tags and (code == 0 or unused in out), "lintian %s:\n%s" % (deb, out))


def check_installed(deb, s, folder):
    """dpkg -i into a throwaway root in folder (a package for another
    processor as it would be there); man -l renders the page without a
    warning; the installed program, answering its prompt in the harness
    session s against a device it refuses (whole installations are the qualification's and the
    end-to-end cases'), says what it carries as the page quotes it
    (manpage.check_page); dpkg --purge leaves nothing but dpkg's database."""
    root, database = os.path.join(folder, "root"), os.path.join("var", "lib", "dpkg")
    foreign = not deb.endswith("_%s.deb" % ran(["dpkg", "--print-architecture"]).strip())
    # Its own log too, so the machine's dpkg log does not record the trial.
    dpkg = ["dpkg", "--root=" + root, "--log=" + os.path.join(folder, "dpkg.log")]
    dpkg += ["--force-architecture"] * foreign
    for sub in ("info", "updates"):
        os.makedirs(os.path.join(root, database, sub))
    Path(root, database, "status").touch()
    before = tree(root)
    ran(dpkg + ["-i", deb])
    done = subprocess.run(["man", "--warnings", "-l", os.path.join(root, MANPAGE)],
                          capture_output=True, text=True, env=dict(os.environ, MANWIDTH="80"))
    check(done.returncode == 0 and not done.stderr and "EXIT STATUS" in done.stdout,
          "man -l /%s of %s:\n%s" % (MANPAGE, deb, done.stderr))
    s.build = os.path.dirname(os.path.join(root, PROGRAM))  # the session runs it from there
    try:
        printed = updater_run(s, "3", lambda x: x.banner + x.asked() + x.loaded()
                              + texts.listening("3") + texts.REFUSED + texts.PRESS,
                              answer="3", refused=True, verdict=2)
    except Failed as why:
        fail("/%s installed from %s, run against the emulator: %s" % (PROGRAM, deb, why))
    manpage.check_page(os.path.join(root, MANPAGE), s.facts["source"], printed)
    code, out = run(dpkg + ["--purge", "trelvane-update"])
    left = sorted(p for p in tree(root) - before if not p.startswith(database))
    check(code == 0 and not left, "dpkg --purge (status %d) left %s:\n%s" % (code, left, out))
    out = run(dpkg + ["-s", "trelvane-update"])[1]
    check("Status: install" not in out, "dpkg still lists trelvane-update after the purge:\n" + out)
