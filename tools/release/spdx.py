#!/usr/bin/env python3
"""The release's bill of materials: an SPDX 2.3 document in JSON.

  spdx.py RELEASE_FOLDER BUILD...

Each BUILD is a released build folder; its facts (oracle.facts,
cmake/Facts.cmake) name its archive and Debian package in RELEASE_FOLDER,
the image it carries and the libraries linked into its program
(tools/release/notices.py). Written: RELEASE_FOLDER/trelvane-update-VERSION-swSW.spdx.json,
which describes every archive and package by its SHA-256; each holds the
program (its SHA-256, read from the file itself, so a signed Windows program
is the signed one), which carries the device software (version and
SHA-256) and statically links the run-time libraries (Debian package,
version and SPDX licence id).

The same files and SOURCE_DATE_EPOCH give the same document, byte for byte:
its time is SOURCE_DATE_EPOCH's, its namespace made from the files' sums.
"""
import datetime
import hashlib
import json
import os
import re
import sys
import urllib.parse

import oracle
import released

# The source tree: this file is tools/release/spdx.py.
SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# The vendor's own: where its documents are named, and its licence's name.
NAMESPACE = "https://trelvane.example/spdx/"
SUPPLIER = "Organization: Trelvane"
PROPRIETARY = "LicenseRef-Trelvane-proprietary"


def spdx_id(*parts):
    return "SPDXRef-" + re.sub(r"[^A-Za-z0-9.-]+", "-", "-".join(parts))


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def own_licence():
    """The project's licence text and copyright line, from doc/copyright."""
    with open(os.path.join(SOURCE, "doc", "copyright"), encoding="utf-8") as f:
        text = f.read()
    holder = re.search(r"^Copyright: (.*)$", text, re.M).group(1)
    body = text.split("License: proprietary\n", 1)[1].splitlines()
    return holder, "\n".join("" if line == " ." else line[1:] for line in body)


def package(ident, name, version, purpose, licence, **more):
    found = {"SPDXID": ident, "name": name, "versionInfo": version,
             "downloadLocation": "NOASSERTION", "filesAnalyzed": False,
             "licenseConcluded": licence, "licenseDeclared": licence,
             "copyrightText": "NOASSERTION", "primaryPackagePurpose": purpose}
    found.update(more)
    return found


def document(folder, builds):
    holder, text = own_licence()
    packages, relationships, described, sums = {}, [], [], []

    def add(element):
        packages.setdefault(element["SPDXID"], element)
        return element["SPDXID"]

    def relate(a, kind, b):
        relationships.append({"spdxElementId": a, "relationshipType": kind,
                              "relatedSpdxElement": b})

    for build in builds:
        facts = oracle.facts(build)
        program_name = os.path.basename(facts["program"])
        with open(facts["libraries"]) as f:
            libraries = json.load(f)
        with open(facts["image"], "rb") as f:
            image = f.read()
        unknown = [lib["package"] for lib in libraries if lib["license"] == "NOASSERTION"]
        if unknown:
            sys.exit("spdx.py: %s links %s, of no known licence (tools/release/notices.py)"
                     % (os.path.join(build, program_name), ", ".join(unknown)))
        software = add(package(
            spdx_id("device-software", facts["software"], sha256(image)[:12]),
            "Trelvane device software", facts["software"], "FIRMWARE", PROPRIETARY,
            packageFileName=os.path.basename(facts["image"]), supplier=SUPPLIER,
            checksums=[{"algorithm": "SHA256", "checksumValue": sha256(image)}]))
        linked = []
        for lib in libraries:
            purl = "pkg:deb/debian/%s@%s?arch=%s" % (
                lib["package"], urllib.parse.quote(lib["version"], safe=""), lib["arch"])
            linked.append(add(package(
                spdx_id("deb", lib["package"], lib["arch"], lib["version"]), lib["package"],
                lib["version"], "LIBRARY", lib["license"], supplier="Organization: Debian",
                sourceInfo="Debian source package %s %s; linked: %s" % (
                    lib["source"], lib["source_version"],
                    ", ".join(f["path"] for f in lib["files"])),
                externalRefs=[{"referenceCategory": "PACKAGE-MANAGER",
                               "referenceType": "purl", "referenceLocator": purl}])))
        whole = " AND ".join([PROPRIETARY] + sorted({"(%s)" % lib["license"] if " " in
                                                     lib["license"] else lib["license"]
                                                     for lib in libraries}))
        shipped = sorted(n for n in os.listdir(folder)
                          if n.startswith(facts["archive"] + ".") or n == facts["deb_file"])
        if len(shipped) != 1 + bool(facts["deb_file"]):
            sys.exit("spdx.py: %s holds %s for %s" % (folder, shipped, build))
        for name in shipped:
            with open(os.path.join(folder, name), "rb") as f:
                digest = sha256(f.read())
            sums.append(digest + name)
            held = released.program(os.path.join(folder, name), facts["archive"],
                                    program_name)
            if held is None:
                sys.exit("spdx.py: %s holds no %s" % (name, program_name))
            platform = facts["archive"].split("-sw%s-" % facts["software"], 1)[1]
            program = add(package(
                spdx_id("program", facts["archive"], sha256(held)[:12]),
                "%s (%s)" % (program_name, platform),
                facts["version"], "APPLICATION", PROPRIETARY, licenseConcluded=whole,
                packageFileName=program_name, supplier=SUPPLIER, copyrightText=holder,
                checksums=[{"algorithm": "SHA256", "checksumValue": sha256(held)}]))
            if program not in {r["spdxElementId"] for r in relationships}:
                relate(program, "CONTAINS", software)
                for lib in linked:
                    relate(program, "STATIC_LINK", lib)
            described.append(add(package(
                spdx_id(name), "trelvane-update", facts["version"],
                "INSTALL" if name.endswith(".deb") else "ARCHIVE", PROPRIETARY,
                licenseConcluded=whole, packageFileName=name, supplier=SUPPLIER,
                copyrightText=holder,
                checksums=[{"algorithm": "SHA256", "checksumValue": digest}])))
            relate(described[-1], "CONTAINS", program)
    name = "trelvane-update-%s-sw%s" % (facts["version"], facts["software"])
    return name, {
        "spdxVersion": "SPDX-2.3",
        "dataLicense": "CC0-1.0",
        "SPDXID": "SPDXRef-DOCUMENT",
        "name": name,
        "documentNamespace": NAMESPACE + name + "-" + sha256("".join(sorted(sums)).encode()),
        "creationInfo": {
            "created": datetime.datetime.fromtimestamp(
                int(os.environ.get("SOURCE_DATE_EPOCH", datetime.datetime.now().timestamp())),
                datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ"),
            "creators": [SUPPLIER, "Tool: trelvane-spdx.py-" + facts["version"]]},
        "documentDescribes": described,
        "packages": list(packages.values()),
        "relationships": relationships,
        "hasExtractedLicensingInfos": [{"licenseId": PROPRIETARY,
                                        "name": "Trelvane proprietary licence",
                                        "extractedText": text}],
    }


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    name, doc = document(sys.argv[1], sys.argv[2:])
    path = os.path.join(sys.argv[1], name + ".spdx.json")
    with open(path, "w", encoding="utf-8") as f:
        json.dump(doc, f, indent=2, sort_keys=True)
        f.write("\n")
    print(path)


if __name__ == "__main__":
    main()
