"""The notices and the bill of materials, against the libraries the link took
as tools/release/notices.py recorded them (third-party.json): the notices
quote each one's copyright file, none is glibc; the bill gives each one's
installed version, every checksum is that of what it names, and every
licence id is in Debian's SPDX lists or defined in the document."""
import json
import os
import re
import sys
from pathlib import Path

import released
from spdx import sha256
from support.commands import ran, run
from support.lines import check

SPDX_LISTS = {"license": "/usr/share/nodejs/spdx-license-ids/index.json",
              "exception": "/usr/share/nodejs/spdx-exceptions/index.json"}


def check_notices(facts, notices):
    """The notices (text) name each recorded library and quote its copyright
    file, which a Debian package's copyright names too; none is glibc."""
    name = os.path.basename(facts["notices"])
    deb = Path(facts["copyright"]).read_text(encoding="utf-8") if facts["deb"] else None
    for lib in json.loads(Path(facts["libraries"]).read_text()):
        check("%s %s (%s)" % (lib["package"], lib["version"], lib["arch"]) in notices and
              Path(lib["copyright"]).read_text(encoding="utf-8").rstrip("\n") in notices,
              "%s lacks %s or its copyright file %s" % (name, lib["package"], lib["copyright"]))
        check(deb is None or "%s %s: %s" % (lib["package"], lib["version"], lib["copyright"])
              in deb, "%s does not list %s" % (facts["copyright"], lib["copyright"]))
        check(not lib["package"].startswith("libc6"), "%s is linked with glibc: %s" % (
            facts["program"], ", ".join(f["path"] for f in lib["files"])))


def licence_ids(expression):
    """(kind, id) of each licence and exception an SPDX expression names."""
    words = re.findall(r"[^\s()]+", expression)
    return [("exception" if before == "WITH" else "license", word)
            for before, word in zip([""] + words, words) if word not in ("AND", "OR", "WITH")]


def program_held(path, facts):
    """The program's bytes in a released archive or Debian package."""
    name = os.path.basename(facts["program"])
    held = released.program(path, facts["archive"], name)
    check(held is not None, "%s holds no %s" % (path, name))
    return held


def write_bill(facts, folder, env=None):
    """Writes the bill of the build's archive and package in folder as
    ./make-release.sh does; its path."""
    spdx = os.path.join(facts["source"], "tools", "release", "spdx.py")
    return ran([sys.executable, spdx, folder, facts["build"]], env=env).strip()


def check_bill(facts, folder):
    """The bill write_bill() makes: its every checksum against what it
    names, every licence id, and each recorded library's Debian version."""
    bill_path = write_bill(facts, folder)
    bill = json.loads(Path(bill_path).read_text())
    known = {name: kind for kind, path in SPDX_LISTS.items()
             for name in json.loads(Path(path).read_text())}
    known.update((e["licenseId"], "license") for e in bill.get("hasExtractedLicensingInfos", []))
    program = os.path.basename(facts["program"])
    sums = {os.path.basename(facts["image"]): {sha256(Path(facts["image"]).read_bytes())},
            program: set()}
    for name in os.listdir(folder):
        if name.startswith(facts["archive"] + ".") or name == facts["deb_file"]:
            sums[program].add(sha256(program_held(os.path.join(folder, name), facts)))
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
    for lib in json.loads(Path(facts["libraries"]).read_text()):
        installed = run(["dpkg-query", "-W", "-f", "${Version}",
                         "%s:%s" % (lib["package"], lib["arch"])])[1]
        check(packages.get(lib["package"], {}).get("versionInfo") == installed,
              "%s does not give %s %s" % (bill_path, lib["package"], installed))
