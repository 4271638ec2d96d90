"""What a released program holds of others, and the release's bill of
materials. The program's notices name exactly the Debian packages' files
that its link took, as its map file says, with each package's copyright
file; none of them is glibc's. The SPDX document's every checksum is that of
what it names, and every licence id is in the SPDX lists Debian packages
(node-spdx-license-ids, node-spdx-exceptions) or defined in the document."""
import hashlib
import json
import os
import re
import sys
import tarfile
import zipfile
from pathlib import Path

import debian
from signing import ran, run
from support.lines import check

SPDX_LISTS = {"license": "/usr/share/nodejs/spdx-license-ids/index.json",
              "exception": "/usr/share/nodejs/spdx-exceptions/index.json"}


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def record_of(facts):
    """The build's record of its release, and the libraries its link took."""
    record = json.loads(Path(facts["record"]).read_text())
    return record, json.loads(Path(record["libraries"]).read_text())


def members(path):
    """{name: bytes} of the files of a zip or tar archive."""
    if path.endswith(".zip"):
        with zipfile.ZipFile(path) as z:
            return {i.filename: z.read(i) for i in z.infolist() if not i.is_dir()}
    with tarfile.open(path) as t:
        return {m.name: t.extractfile(m).read() for m in t.getmembers() if m.isfile()}


def check_notices(facts, notices):
    """The notices (text) against the map: every file outside the build that
    the link took, and no other, with each owner's copyright file."""
    record, libraries = record_of(facts)
    name = os.path.basename(record["notices"])
    text = Path(record["map"]).read_text(errors="replace")
    taken = re.findall(r"^(/\S+?\.a)\(", text.split("\n\n")[1], re.M)
    taken += re.findall(r"^LOAD (/\S+\.o(?:bj)?)$", text, re.M)
    taken = {os.path.normpath(p) for p in taken}
    listed = {f["path"] for lib in libraries for f in lib["files"]}
    check(taken <= listed, "%s are linked, but not in %s" % (sorted(taken - listed), name))
    check(listed <= taken, "%s lists %s, which are not linked" % (name, sorted(listed - taken)))
    for lib in libraries:
        check(Path(lib["copyright"]).read_text(encoding="utf-8").rstrip("\n") in notices,
              "%s lacks %s's copyright file %s" % (name, lib["package"], lib["copyright"]))
        check(not lib["package"].startswith("libc6"), "%s is linked with glibc: %s" % (
            facts["program"], ", ".join(f["path"] for f in lib["files"])))
    if facts["deb"]:  # the Debian copyright quotes them, a line as a verbatim line
        quoted = "\n".join("  " + line.rstrip() if line.strip() else " ."
                           for line in notices.splitlines())
        check(quoted in Path(record["copyright"]).read_text(encoding="utf-8"),
              "%s does not list the notices" % record["copyright"])


def licence_ids(expression):
    """(kind, id) of each licence and exception an SPDX expression names."""
    words = re.findall(r"[^\s()]+", expression)
    return [("exception" if before == "WITH" else "license", word)
            for before, word in zip([""] + words, words) if word not in ("AND", "OR", "WITH")]


def program_held(path, record, scratch):
    """The program's bytes in a released archive, or in a Debian package
    unpacked into the folder scratch."""
    if path.endswith(".deb"):
        debian.unpacked(path, scratch)
        return Path(scratch, debian.PROGRAM).read_bytes()
    files, member = members(path), "%s/%s" % (record["archive"], record["program"])
    check(member in files, "%s holds no %s" % (path, member))
    return files[member]


def check_bill(facts, folder, scratch):
    """Writes the bill of the build's archive and package in folder as
    ./make-release.sh does, then checks every checksum in it against what
    it names (a package unpacked in the folder scratch), every licence id,
    and each library's Debian version."""
    bill_path = ran([sys.executable, os.path.join(facts["source"], "tools", "spdx.py"), folder,
                     facts["build"]]).strip()
    bill = json.loads(Path(bill_path).read_text())
    known = {name: kind for kind, path in SPDX_LISTS.items()
             for name in json.loads(Path(path).read_text())}
    known.update((e["licenseId"], "license") for e in bill.get("hasExtractedLicensingInfos", []))
    record, libraries = record_of(facts)
    sums = {os.path.basename(facts["image"]): {sha256(Path(facts["image"]).read_bytes())},
            record["program"]: set()}
    for name in os.listdir(folder):
        if name.startswith(record["archive"] + ".") or name == record["deb"]:
            held = program_held(os.path.join(folder, name), record, scratch)
            sums[record["program"]].add(sha256(held))
            sums[name] = {sha256(Path(folder, name).read_bytes())}
    packages = {p.get("packageFileName", p["name"]): p for p in bill["packages"]}
    check(set(sums) <= set(packages), "%s does not describe %s"
          % (bill_path, sorted(set(sums) - set(packages))))
    for p in bill["packages"]:
        for given in p.get("checksums", []):
            check(given["checksumValue"] in sums.get(p.get("packageFileName"), ()),
                  "%s: %s: SHA-256 %s is not that of %s in %s" % (bill_path, p["SPDXID"],
                  given["checksumValue"], p.get("packageFileName"), folder))
        for field in ("licenseConcluded", "licenseDeclared"):
            for kind, word in licence_ids(p[field]):
                check(known.get(word) == kind, "%s: %s: %s %r is not an SPDX %s id" % (
                    bill_path, p["SPDXID"], field, word, kind))
    for lib in libraries:
        installed = run(["dpkg-query", "-W", "-f", "${Version}",
                         "%s:%s" % (lib["package"], lib["arch"])])[1]
        check(packages.get(lib["package"], {}).get("versionInfo") == installed,
              "%s does not give %s %s" % (bill_path, lib["package"], installed))
