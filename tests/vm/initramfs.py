"""Builds the guest's initramfs: busybox as the shell, the programs and their
libraries, other files, the machine's modules of its kernel, and /init.
The kernel, its modules and busybox are those of a root folder: / for this
machine's own, or one a foreign architecture's packages were unpacked into.
"""
import lzma
import os
import re
import subprocess
from pathlib import Path

INIT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "init.sh")


def busybox(root):
    return os.path.join(root, "bin", "busybox")


def module_file(root, version, name):
    """A module's plain contents, found by its name ("-" and "_" alike) among
    the kernel's modules: an unpacked package has no index of them."""
    want = name.replace("-", "_")
    top = os.path.join(root, "lib", "modules", version)
    path = next((os.path.join(d, f) for d, _, files in os.walk(top) for f in files
                 if re.sub(r"\.ko(\.xz|\.zst)?$", "", f).replace("-", "_") == want
                 and ".ko" in f), None)
    if not path:
        raise FileNotFoundError("no module %s in %s" % (name, top))
    # busybox insmod takes plain modules only.
    if path.endswith(".zst"):
        return subprocess.run(["zstd", "-dc", path], capture_output=True, check=True).stdout
    data = Path(path).read_bytes()
    return lzma.decompress(data) if path.endswith(".xz") else data


def build(out_path, root, version, modules, programs, files=()):
    """modules: loaded in this order, each needing only those before it;
    files: (path in the guest, path here). The tree is staged beside
    out_path and archived by cpio in the kernel's "newc" format."""
    stage = out_path + ".d"

    def put(name, data, mode=0o755):
        """data: bytes, or the path of a file here to copy."""
        path = Path(stage, name.strip("/"))
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data if isinstance(data, bytes) else Path(data).read_bytes())
        path.chmod(mode)

    for d in ("dev", "proc", "sys", "tmp"):
        os.makedirs(os.path.join(stage, d), exist_ok=True)
    put("bin/busybox", busybox(root))
    put("init", INIT)
    libs = set()
    for p in programs:
        put("bin/" + os.path.basename(p), p)
        # Its shared libraries, the loader included (none if it is static).
        libs.update(re.findall(r"(/\S+) \(0x", subprocess.run(["ldd", p], capture_output=True,
                                                              text=True).stdout))
    for lib, path in [(lib, lib) for lib in sorted(libs)] + list(files):
        put(lib, path)
    for i, m in enumerate(modules):
        put("lib/modules/%02d-%s.ko" % (i, m), module_file(root, version, m), 0o644)
    names = subprocess.run(["find", "."], cwd=stage, capture_output=True, text=True,
                           check=True).stdout
    with open(out_path, "wb") as out:
        subprocess.run(["cpio", "-o", "-H", "newc", "--quiet"], input=names.encode(), cwd=stage,
                       stdout=out, check=True)
