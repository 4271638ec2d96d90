"""Builds the guest's initramfs: busybox as the shell, the Linux updaters and
their libraries, the USB serial modules of the host's kernel, and /init.

  initramfs.py KERNEL_VERSION OUT.cpio PROGRAM...
"""
import lzma
import os
import re
import subprocess
import sys

# Loaded in this order (/init loads them as their names sort): each needs
# only those before it.
MODULES = ("usb-common", "usbcore", "xhci-hcd", "xhci-pci", "usbserial", "ftdi_sio")
BUSYBOX = "/bin/busybox"
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


def module_file(version, name):
    path = subprocess.run(["modinfo", "-k", version, "-n", name], capture_output=True,
                          text=True, check=True).stdout.strip()
    with open(path, "rb") as f:
        data = f.read()
    # busybox insmod takes plain modules only.
    if path.endswith(".xz"):
        data = lzma.decompress(data)
    elif path.endswith(".zst"):
        data = subprocess.run(["zstd", "-dc", path], capture_output=True, check=True).stdout
    return data


def build(version, out_path, programs):
    with open(out_path, "wb") as out:
        c = Cpio(out)
        for d in ("dev", "proc", "sys", "tmp", "bin"):
            c.dir(d)
        with open(BUSYBOX, "rb") as f:
            c.file("bin/busybox", f.read())
        with open(INIT, "rb") as f:
            c.file("init", f.read())
        libs = set()
        for p in programs:
            with open(p, "rb") as f:
                c.file("bin/" + os.path.basename(p), f.read())
            libs.update(libraries(p))
        for lib in sorted(libs):
            with open(lib, "rb") as f:
                c.file(lib, f.read())
        for i, m in enumerate(MODULES):
            c.file("lib/modules/%d-%s.ko" % (i, m), module_file(version, m), 0o644)
        c.close()


if __name__ == "__main__":
    build(sys.argv[1], sys.argv[2], sys.argv[3:])
