#!/usr/bin/env python3
"""Builds the updater twice from one source tree, in two fresh build folders
of different names, and checks that the two programs are the same bytes and
that neither names the source or a build folder. A firmware team rebuilding a
release from its commit must get the program it was given, and, its files
dated by one SOURCE_DATE_EPOCH as ./make-release.sh dates them, the same
archive and package. (That a signed program without its signature is the
program as built, package.py checks.)"""
import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile

import signing


def build(cmake, source, folder, toolchain, target):
    configure = [cmake, "-S", source, "-B", folder,
                 "-DTRELVANE_TESTS=OFF", "-DTRELVANE_TEST_PROGRAMS=OFF"]
    if toolchain:
        configure.append("-DCMAKE_TOOLCHAIN_FILE=" + toolchain)
    for cmd in (configure, [cmake, "--build", folder, "-j2", "--target", target]):
        done = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if done.returncode != 0:
            sys.exit("FAIL: %s\n%s" % (" ".join(cmd), done.stdout))


def first_difference(a, b):
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return i
    return min(len(a), len(b))


def check_packages(cpack, folders):
    """CPack's archives and packages of both builds, unsigned and dated
    alike, are the same files, byte for byte."""
    env = dict(signing.unsigned_env(), SOURCE_DATE_EPOCH="1700000000")
    made = []
    for folder in folders:
        out = os.path.join(folder, "packages")
        code, text = signing.run([cpack, "--config", os.path.join(folder, "CPackConfig.cmake"),
                                  "-B", out], env=env)
        if code != 0:
            return ["cpack in %s failed:\n%s" % (folder, text)]
        files = {}
        for name in os.listdir(out):
            if os.path.isfile(os.path.join(out, name)):
                with open(os.path.join(out, name), "rb") as f:
                    files[name] = f.read()
        made.append(files)
    if set(made[0]) != set(made[1]):
        return ["cpack made %s, then %s" % (sorted(made[0]), sorted(made[1]))]
    differ = sorted(name for name in made[0] if made[0][name] != made[1][name])
    if differ:
        return ["the two builds' %s differ" % ", ".join(differ)]
    print("the same archives and packages: %s" % ", ".join(sorted(made[0])))
    return []


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--source", required=True)
    ap.add_argument("--program", required=True, help="file name of the program, e.g. trelvane-update.exe")
    ap.add_argument("--toolchain", help="CMake toolchain file of a cross build")
    ap.add_argument("--cmake", default="cmake")
    ap.add_argument("--cpack", default="cpack")
    ap.add_argument("--target", default="trelvane-update")
    args = ap.parse_args()
    source = os.path.realpath(args.source)

    # Folder names of different lengths, so that a path that slips into the
    # program also shifts what follows it.
    folders = [tempfile.mkdtemp(prefix="trelvane-release-"),
               tempfile.mkdtemp(prefix="trelvane-release-second-build-")]
    try:
        programs = []
        for folder in folders:
            build(args.cmake, source, folder, args.toolchain, args.target)
            with open(os.path.join(folder, args.program), "rb") as f:
                programs.append(f.read())
        failures = []
        for folder, data in zip(folders, programs):
            print("%s  %s" % (hashlib.sha256(data).hexdigest(), os.path.join(folder, args.program)))
            for path in (folder, source):
                if path.encode() in data:
                    failures.append("%s names %s" % (os.path.join(folder, args.program), path))
        if programs[0] != programs[1]:
            failures.append("the two builds differ: %d and %d bytes, first difference at byte %d"
                            % (len(programs[0]), len(programs[1]), first_difference(*programs)))
        else:
            failures += check_packages(args.cpack, folders)
        for f in failures:
            print("FAIL: " + f)
        if failures:
            return 1
        print("reproducible: %d bytes, the same in both builds" % len(programs[0]))
        return 0
    finally:
        for folder in folders:
            shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
