"""What the updater shows and sends: its console texts, the test images the
build makes (read from the build's own list of them) and the bytes a correct
run sends for each."""
import os
import re

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
IMAGE = os.path.join(SOURCE, "image", "trelvane.bin")



def _cmake():
    with open(os.path.join(SOURCE, "CMakeLists.txt")) as f:
        return f.read()


VERSION = re.search(r"project\(\w+\s+VERSION\s+([0-9.]+)", _cmake()).group(1)
BANNER = "Trelvane Software Updater v%s\n\n" % VERSION
PRESS = "\nPress any key to continue..."
SYNC_5A = "Out of sync, 0x5a != 0xA5\n"
REFUSED = "This software file is incompatible with this Trelvane's hardware.\n"
LOST = "\nLost connection on COM%s\n" + PRESS


class Image:
    """A test image: its file and, from the generator's arguments, its chunk
    count (30 unless told)."""

    def __init__(self, path, args):
        self.path = path
        self.chunks = int(dict(zip(args[::2], args[1::2])).get("--chunks", 30))

    def sent(self):
        """Bytes a correct updater sends: two frames, the loader, the chunks
        with a sync byte between them, and three final sync bytes."""
        n = self.chunks
        return 269 + (16390 + (n - 1) * 8197 if n else 0)


BUILT_IN = Image(IMAGE, [])


def images(build):
    """The build's test images by program suffix, "" the built-in one."""
    listed = re.search(r"set\(variants(.*?)\)", _cmake(), re.S).group(1)
    found = {"": BUILT_IN}
    for name, args in re.findall(r'"(\w+)\|([^"]*)"', listed):
        found["-" + name] = Image(os.path.join(build, "images", name + ".bin"), args.split())
    return found


def asked(version="1.73"):
    return ("Installing Trelvane Software v%s.\n" % version
            + "What COM port is the Trelvane connected to? ")


def loaded(size=254335, version="1.73"):
    return "Loaded Trelvane software v%s, %d bytes.\n" % (version, size)


def listening(port):
    return "Listening for a Trelvane on COM%s\n" % port


def head(port, size=254335, version="1.73"):
    """Banner to the listening line, started with -PORT."""
    return BANNER + loaded(size, version) + listening(port)


def select(word="Update", device="1.70", offered="1.73"):
    return ("Select '%s' on the Trelvane to replace v%s software with v%s.\n"
            % (word, device, offered))


def transfer(chunks=30, out_of_sync="", blocks=None):
    """Loader line and progress lines of a transfer of n chunks (the first
    `blocks` of them only, when given)."""
    total = 2 * chunks + 2
    text = "   Sent bootloader, sending %uKbytes of software (%d blocks).\n" % (4 * total, total)
    sent = 0
    for chunk in range(1, chunks + 1):
        for _ in range(4 if chunk == 1 else 2):
            sent += 1
            if blocks is not None and sent > blocks:
                return text
            text += "\r   sending block %d of %d (%d%%)..." % (sent, total, sent * 100 // total)
        if chunk < chunks:
            text += out_of_sync
    return text


def same_version_warning(progname):
    return ("Warning: This Trelvane is running the same software version.\n"
            "         %s will claim to have v9.99 to allow update.\n" % progname)


def full_run(port, chunks=30, size=254335, version="1.73", prompt=False, word="Update",
             device="1.70", offered=None, warn="", out_of_sync=""):
    return (BANNER + (asked(version) if prompt else "") + loaded(size, version) + listening(port)
            + warn + select(word, device, offered or version) + transfer(chunks, out_of_sync)
            + PRESS)

