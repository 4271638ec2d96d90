"""What a released program holds of others, and the release's bill of
materials. The program's notices name exactly the Debian packages' files
that its link took, as its map file says, with each package's copyright
file; none of them is glibc's, nor is any glibc text or ABI note in the
program. The SPDX document's every checksum is that of what it names, and
every licence id is in the SPDX lists Debian packages (node-spdx-license-ids,
node-spdx-exceptions) or defined in the document."""
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import zipfile

import debian

SPDX_LISTS = {"license": "/usr/share/nodejs/spdx-license-ids/index.json",
              "exception": "/usr/share/nodejs/spdx-exceptions/index.json"}
# Signs of glibc in a static program: its start files' ABI note, its texts.
GLIBC_MARKS = ((b".note.ABI-tag", "glibc's ABI note"), (b"glibc", "a glibc text"))


def record_of(facts):
    with open(facts["record"]) as f:
        record = json.load(f)
    with open(record["libraries"]) as f:
        return record, json.load(f)


def check_notices(facts, notices):
    """The notices (text) against the map: every file outside the build that
    the link took, and no other, with each owner's copyright file."""
    record, libraries = record_of(facts)
    with open(record["map"], errors="replace") as f:
        text = f.read()
    taken = re.findall(r"^(/\S+?\.a)\(", text.split("\n\n")[1], re.M)
    taken += re.findall(r"^LOAD (/\S+\.o(?:bj)?)$", text, re.M)
    taken = {os.path.normpath(p) for p in taken}
    listed = {f["path"] for lib in libraries for f in lib["files"]}
    failures = ["%s is linked, but not in the notices" % p for p in sorted(taken - listed)]
    failures += ["the notices list %s, which is not linked" % p for p in sorted(listed - taken)]
    for lib in libraries:
        with open(lib["copyright"], encoding="utf-8") as f:
            if f.read().rstrip("\n") not in notices:
                failures.append("the notices lack %s's copyright file" % lib["package"])
        if lib["package"].startswith("libc6"):
            failures.append("%s is linked with glibc: %s" % (facts["program"], ", ".join(
                f["path"] for f in lib["files"])))
    if facts["deb"]:  # the Debian copyright quotes them, a line as a verbatim line
        quoted = "\n".join("  " + line.rstrip() if line.strip() else " ."
                           for line in notices.splitlines())
        with open(record["copyright"], encoding="utf-8") as f:
            if quoted not in f.read():
                failures.append("%s does not list the notices" % record["copyright"])
    return failures


def check_no_glibc(name, program):
    return ["%s is linked with glibc: it holds %s (%r)" % (name, what, mark.decode())
            for mark, what in GLIBC_MARKS if mark in program]


def licence_ids(expression):
    """(kind, id) of each licence and exception an SPDX expression names."""
    words = re.findall(r"[^\s()]+", expression)
    return [("exception" if before == "WITH" else "license", word)
            for before, word in zip([""] + words, words) if word not in ("AND", "OR", "WITH")]


def program_held(path, record):
    """The program's bytes in a released archive or Debian package."""
    member = "%s/%s" % (record["archive"], record["program"])
    if path.endswith(".zip"):
        with zipfile.ZipFile(path) as z:
            return z.read(member)
    if not path.endswith(".deb"):
        with tarfile.open(path) as t:
            return t.extractfile(member).read()
    folder = tempfile.mkdtemp(prefix="trelvane-bill-")
    try:
        debian.unpacked(path, folder)
        with open(os.path.join(folder, debian.PROGRAM), "rb") as f:
            return f.read()
    finally:
        shutil.rmtree(folder)


def check_bill(facts, folder):
    """Writes the bill of the build's archive and package in folder as
    ./make-release.sh does, then checks every checksum in it against what
    it names, every licence id, and each library's Debian version."""
    done = subprocess.run([sys.executable, os.path.join(facts["source"], "tools", "spdx.py"),
                           folder, facts["build"]], stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True)
    if done.returncode != 0:
        return ["tools/spdx.py failed:\n" + done.stdout]
    with open(done.stdout.strip()) as f:
        bill = json.load(f)
    known = {}
    for kind, path in SPDX_LISTS.items():
        with open(path) as f:
            known.update((name, kind) for name in json.load(f))
    known.update((e["licenseId"], "license") for e in bill.get("hasExtractedLicensingInfos", []))
    record, libraries = record_of(facts)
    with open(facts["image"], "rb") as f:
        sums = {os.path.basename(facts["image"]): {hashlib.sha256(f.read()).hexdigest()},
                record["program"]: set()}
    for name in os.listdir(folder):
        if name.startswith(record["archive"] + ".") or name == record["deb"]:
            data = program_held(os.path.join(folder, name), record)
            sums[record["program"]].add(hashlib.sha256(data).hexdigest())
            with open(os.path.join(folder, name), "rb") as f:
                sums[name] = {hashlib.sha256(f.read()).hexdigest()}
    packages = {p.get("packageFileName", p["name"]): p for p in bill["packages"]}
    failures = ["the bill does not describe " + n for n in sorted(set(sums) - set(packages))]
    for p in bill["packages"]:
        for given in p.get("checksums", []):
            if given["checksumValue"] not in sums.get(p.get("packageFileName"), ()):
                failures.append("%s: SHA-256 %s is not that of %s in %s" % (
                    p["SPDXID"], given["checksumValue"], p.get("packageFileName"), folder))
        for field in ("licenseConcluded", "licenseDeclared"):
            failures += ["%s: %s %r is not an SPDX %s id" % (p["SPDXID"], field, word, kind)
                         for kind, word in licence_ids(p[field]) if known.get(word) != kind]
    for lib in libraries:
        installed = subprocess.run(["dpkg-query", "-W", "-f", "${Version}",
                                    "%s:%s" % (lib["package"], lib["arch"])],
                                   stdout=subprocess.PIPE, text=True).stdout
        if packages.get(lib["package"], {}).get("versionInfo") != installed:
            failures.append("the bill does not give %s %s" % (lib["package"], installed))
    return failures
