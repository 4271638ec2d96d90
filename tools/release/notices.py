#!/usr/bin/env python3
"""Third-party notices of a released program, from what its link really took.

  notices.py --map MAP --build BUILD --program NAME --notices OUT --record OUT.json
             [--copyright doc/copyright --deb-copyright OUT]

The linker's map file names every object file it loaded and every archive
member it took to satisfy a reference. Those outside the build folder are
code of Debian packages (dpkg -S says which); each package's own copyright
file (/usr/share/doc/PACKAGE/copyright) is its notice. Written:

- the notices file: which packages, which of their files, and each
  package's copyright file as Debian ships it;
- for a Linux program, the Debian package's copyright file: the project's
  own (doc/copyright) with the notices in the text of its licence, so it
  lists the same;
- a record of the packages (name, architecture, version, source package,
  SPDX licence id, files), which tools/release/spdx.py puts in the release's bill
  of materials.

So the notices follow the toolchain: a library that is no longer linked
drops out, a new one comes in with its own notice. A linked file that no
package owns stops the build, as nobody could say under which licence it is.
"""
import argparse
import json
import os
import re
import subprocess
import sys

# The SPDX licence of each library's linked code, by Debian source package:
# the licence its Debian copyright file gives for the run-time parts. A
# source package not listed here is recorded as NOASSERTION, which the
# release's bill of materials refuses (tools/release/spdx.py).
LICENCES = (
    (re.compile(r"musl$"), "MIT"),
    # libgcc and GCC's start files, native, cross or MinGW-w64.
    (re.compile(r"gcc(-\d+)?(-cross)?$|gcc-mingw-w64$"), "GPL-3.0-or-later WITH GCC-exception-3.1"),
    # The MinGW-w64 run-time: its copyright's licence for the project as a
    # whole; the files it names otherwise (public domain, gdtoa's) are in
    # the copyright file the notices quote whole.
    (re.compile(r"mingw-w64$"), "ZPL-2.1"),
)

# ld's map opens with the archive members it took, one a line, then a
# blank line; it names each object file it loaded whole on a LOAD line.
MEMBERS_HEADER = "Archive member included"
MEMBER = re.compile(r"^(\S+?\.a)\(")
LOADED_OBJECT = re.compile(r"^LOAD (\S+\.o(?:bj)?)$", re.M)
RULE = "=" * 78


def linked_files(map_text):
    """{file: members taken} of everything the link put in: archives of
    which it took members, and the object files it loaded whole (0)."""
    files = {}
    if map_text.startswith(MEMBERS_HEADER):
        for line in map_text.split("\n\n")[1].splitlines():
            found = MEMBER.match(line)
            if found:
                files[found.group(1)] = files.get(found.group(1), 0) + 1
    for path in LOADED_OBJECT.findall(map_text):
        files[path] = 0
    return files


def query(cmd):
    done = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    return done.stdout if done.returncode == 0 else None


def owner(path):
    """The Debian package that installed path ("musl-dev:arm64"), or None."""
    for name in dict.fromkeys((path, os.path.realpath(path))):
        out = query(["dpkg-query", "-S", name])
        for line in (out or "").splitlines():
            if not line.startswith("diversion by"):
                return line.split(": ")[0]
    return None


def licence_of(source):
    for pattern, spdx in LICENCES:
        if pattern.match(source):
            return spdx
    return "NOASSERTION"


def third_party(files, build):
    """The Debian packages whose files the program holds, with their facts."""
    packages = {}
    unowned = []
    build = os.path.realpath(build)
    for name, members in sorted(files.items()):
        path = os.path.normpath(os.path.join(build, name))
        if os.path.realpath(path).startswith(build + os.sep):
            continue  # the updater's own objects and layers
        package = owner(path)
        if package is None:
            unowned.append(path)
            continue
        packages.setdefault(package, []).append((path, members))
    if unowned:
        sys.exit("linked into the program, but owned by no Debian package, so under no known "
                 "licence: " + ", ".join(unowned))
    found = []
    for package, held in sorted(packages.items()):
        fields = query(["dpkg-query", "-W", "-f", "${Package}\t${Architecture}\t${Version}\t"
                        "${source:Package}\t${source:Version}", package]).split("\t")
        copyright = "/usr/share/doc/%s/copyright" % fields[0]
        with open(copyright, encoding="utf-8") as f:
            text = f.read()
        found.append({"package": fields[0], "arch": fields[1], "version": fields[2],
                      "source": fields[3], "source_version": fields[4],
                      "license": licence_of(fields[3]), "copyright": copyright,
                      "files": [{"path": p, "members": m} for p, m in held], "text": text})
    return found


def notices(program, packages):
    lines = ["Third-party notices for %s" % program, "",
             "%s is linked statically with code of the following Debian packages." % program,
             "Each one's copyright file follows, as Debian ships it.", ""]
    for p in packages:
        lines.append("%s %s (%s), %s:" % (p["package"], p["version"], p["arch"], p["license"]))
        lines += ["    %s%s" % (f["path"], " (%d members)" % f["members"] if f["members"] else "")
                  for f in p["files"]]
    for p in packages:
        lines += ["", RULE, "%s %s: %s" % (p["package"], p["version"], p["copyright"]), RULE, ""]
        lines += p["text"].rstrip("\n").splitlines()
    return "\n".join(lines) + "\n"


def deb_copyright(own, text):
    """The project's copyright file, its last licence text going on with the
    notices as verbatim lines (two spaces in; " ." is an empty line)."""
    quoted = ["  " + line.rstrip() if line.strip() else " ." for line in text.splitlines()]
    return own.rstrip("\n") + "\n .\n" + "\n".join(quoted) + "\n"


def write(path, text):
    with open(path + ".tmp", "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(path + ".tmp", path)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    for option in ("map", "build", "program", "notices", "record"):
        parser.add_argument("--" + option, required=True)
    parser.add_argument("--copyright", help="the project's copyright, for --deb-copyright")
    parser.add_argument("--deb-copyright", help="the Debian package's copyright to write")
    args = parser.parse_args()
    with open(args.map, encoding="utf-8", errors="replace") as f:
        packages = third_party(linked_files(f.read()), args.build)
    for p in packages:
        if p["license"] == "NOASSERTION":
            print("notices.py: no SPDX licence known for %s (source package %s): tools/release/notices.py"
                  % (p["package"], p["source"]), file=sys.stderr)
    text = notices(args.program, packages)
    write(args.notices, text)
    if args.deb_copyright:
        with open(args.copyright, encoding="utf-8") as f:
            write(args.deb_copyright, deb_copyright(f.read(), text))
    write(args.record, json.dumps([{k: v for k, v in p.items() if k != "text"} for p in packages],
                                  indent=2) + "\n")


if __name__ == "__main__":
    main()
