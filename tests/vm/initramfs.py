"""Builds the guest's initramfs: busybox as the shell, the programs and their
libraries, other files, the machine's modules of its kernel, and /init.
The kernel, its modules and busybox are those of a root folder: / for this
machine's own, or one a foreign architecture's packages were unpacked into.
"""
import lzma
import os
import re
import subprocess

INIT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "init.sh")


def libraries(program):
    """Absolute paths of the shared libraries a program loads, loader included."""
    out = subprocess.run(["ldd", program], capture_output=True, text=True).stdout
    if "not a dynamic executable" in out:
        return []
    return sorted(set(re.findall(r"(/\S+) \(0x", out)))


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
    with open(path, "rb") as f:
        data = f.read()
    # busybox insmod takes plain modules only.
    if path.endswith(".xz"):
        data = lzma.decompress(data)
    elif path.endswith(".zst"):
        data = subprocess.run(["zstd", "-dc", path], capture_output=True, check=True).stdout
    return data


def build(out_path, root, version, modules, programs, files=()):
    """modules: loaded in this order, each needing only those before it;
    files: (path in the guest, path here). The tree is staged beside
    out_path and archived by cpio in the kernel's "newc" format."""
    stage = out_path + ".d"

    def put(name, data, mode=0o755):
        path = os.path.join(stage, name.strip("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        os.chmod(path, mode)

    def read(path):
        with open(path, "rb") as f:
            return f.read()

    for d in ("dev", "proc", "sys", "tmp", "bin"):
        os.makedirs(os.path.join(stage, d), exist_ok=True)
    put("bin/busybox", read(busybox(root)))
    put("init", read(INIT))
    libs = set()
    for p in programs:
        put("bin/" + os.path.basename(p), read(p))
        libs.update(libraries(p))
    for lib, path in [(lib, lib) for lib in sorted(libs)] + list(files):
        put(lib, read(path))
    for i, m in enumerate(modules):
        put("lib/modules/%02d-%s.ko" % (i, m), module_file(root, version, m), 0o644)
    names = subprocess.run(["find", "."], cwd=stage, capture_output=True, text=True,
                           check=True).stdout
    with open(out_path, "wb") as out:
        subprocess.run(["cpio", "-o", "-H", "newc", "--quiet"], input=names.encode(), cwd=stage,
                       stdout=out, check=True)
