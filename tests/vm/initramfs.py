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


class Cpio:
    """The kernel's "newc" archive format, written without any tool."""

    def __init__(self, out):
        self.out = out
        self.ino = 1
        self.dirs = set()

    def _entry(self, name, mode, data=b""):
        head = "070701" + "".join("%08X" % v for v in (
            self.ino, mode, 0, 0, 1, 0, len(data), 0, 0, 0, 0, len(name) + 1, 0))
        self.ino += 1
        blob = head.encode() + name.encode() + b"\0"
        blob += b"\0" * (-len(blob) % 4) + data
        self.out.write(blob + b"\0" * (-len(blob) % 4))

    def dir(self, name):
        parts = name.strip("/").split("/")
        for i in range(1, len(parts) + 1):
            d = "/".join(parts[:i])
            if d not in self.dirs:
                self.dirs.add(d)
                self._entry(d, 0o40755)

    def file(self, name, data, mode=0o755):
        name = name.strip("/")
        if "/" in name:
            self.dir(os.path.dirname(name))
        self._entry(name, 0o100000 | mode, data)

    def close(self):
        self._entry("TRAILER!!!", 0)


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
    files: (path in the guest, path here)."""
    with open(out_path, "wb") as out:
        c = Cpio(out)
        for d in ("dev", "proc", "sys", "tmp", "bin"):
            c.dir(d)
        with open(busybox(root), "rb") as f:
            c.file("bin/busybox", f.read())
        with open(INIT, "rb") as f:
            c.file("init", f.read())
        libs = set()
        for p in programs:
            with open(p, "rb") as f:
                c.file("bin/" + os.path.basename(p), f.read())
            libs.update(libraries(p))
        for lib, path in [(lib, lib) for lib in sorted(libs)] + list(files):
            with open(path, "rb") as f:
                c.file(lib, f.read())
        for i, m in enumerate(modules):
            c.file("lib/modules/%02d-%s.ko" % (i, m), module_file(root, version, m), 0o644)
        c.close()
