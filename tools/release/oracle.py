"""What the updater shows, and what an image is: the console texts of one
program for the image it carries, and that image's figures, worked out here
from its file (the build's facts name it) with this file's own copy of the
layout (never image/layout.h), so that a fault there shows; and what the
device emulator says of a right run. The release's qualification
(tools/release/qualify.py) and the test suite (tests/support) judge by it."""
import json
import os

FACTS = "trelvane-build.json"

# The image's layout: header, loader, chunk 1 of four blocks and its
# checksum, then later chunks of two blocks and a checksum each.
HEADER, LOADER, BLOCK, CHECKSUM = 5, 256, 4097, 2
FIRST_CHUNK = 4 * BLOCK + CHECKSUM
LATER_CHUNK = 2 * BLOCK + CHECKSUM
# On the line before chunk 1: the offer and the go-ahead (a header each) and
# the loader; after the last chunk, three final bytes.
BEFORE_CHUNKS = 2 * HEADER + LOADER
FINAL = 3
# The versions a device can announce: its message data bytes are 7-bit.
VERSIONS = [(major, minor) for major in range(128) for minor in range(128)]
# What the emulator says first, naming its device, then of the updater's
# line settings, and its verdict on a run that sent exactly the image's bytes.
DEVICE_AT = "emu: device at "
LINE_RAW = "emu: line set to 115200 8N1 raw\n"
EXACT = "emu: expect: exact ("


def facts(build, tools=None, launcher=None):
    """What the build says about itself, written by CMake when it configures
    (cmake/Facts.cmake), with its folder; tools and launcher override its
    own."""
    path = os.path.join(build, FACTS)
    if not os.path.exists(path):
        raise FileNotFoundError("%s is missing: configure the build first" % path)
    with open(path) as f:
        found = json.load(f)
    found["build"] = os.path.abspath(build)
    found["tools"] = os.path.abspath(tools or found["tools"])
    found["launcher"] = list(found["launcher"] if launcher is None else launcher)
    return found


def first_difference(got, want):
    """Where two texts or byte strings first part (the shorter's length
    where one begins the other)."""
    return next((i for i, (a, b) in enumerate(zip(got, want)) if a != b), min(len(got), len(want)))


def parted(got, want):
    """Where a text got parts from the text want, shown; None if they are the same."""
    n = first_difference(got, want)
    return None if got == want else "differs at %d:\n got: %r\nwant: %r" % (
        n, got[max(0, n - 40):n + 80], want[max(0, n - 40):n + 80])


def signed(byte):
    return byte - 256 if byte > 127 else byte


def value(version):
    """A version as the updater compares them: signed bytes, major first."""
    return signed(version[0]) * 256 + signed(version[1])


def size_of(chunks):
    """The length an image of n chunks must have: for none, 8,455 bytes (a
    later chunk off chunk 1), of which only the header and loader count."""
    return HEADER + LOADER + FIRST_CHUNK + LATER_CHUNK * (chunks - 1)


def version_text(version):
    return "%u.%02u" % version


class NoDevice(Exception):
    """No device can announce what was asked for beside an image: why."""


class Image:
    """An image's figures: its software version and hardware codes (header
    bytes 3, 4 and 1, 2), length, chunk count, the blocks the console counts
    and the bytes a complete installation puts on the line."""

    def __init__(self, version, hw, length, chunks):
        self.version, self.hw, self.length, self.chunks = tuple(version), tuple(hw), length, chunks
        self.blocks = 2 * chunks + 2
        self.sent = BEFORE_CHUNKS + FINAL + (self.chunk_end(chunks) - BEFORE_CHUNKS if chunks > 0
                                             else 0)

    @classmethod
    def read(cls, path):
        """Worked out from the file's bytes; missing bytes read as 0, as the
        updater reads them. The chunk count is the loader's: a non-zero first
        byte, signed, halved (rounding down) less one; else its ninth."""
        with open(path, "rb") as f:
            data = f.read()
        head = (data + bytes(HEADER + 9))[:HEADER + 9]
        count = signed(head[HEADER])
        return cls(head[3:5], head[1:3], len(data),
                   (count >> 1) - 1 if count else signed(head[HEADER + 8]))

    def chunk_end(self, k):
        """Bytes on the line once chunk k is in, before any sync byte after
        it; None past the image's chunks."""
        if not 1 <= k <= self.chunks:
            return None
        return BEFORE_CHUNKS + FIRST_CHUNK + (LATER_CHUNK + 1) * (k - 1)

    def device(self, kind="any", refused=False):
        """The bytes (0 to 127) a device `kind` ("older", "same", "newer";
        "any": older where one can be) announces, nearest the image by the
        updater's signed rule: hardware codes each within one of the image's
        (refused: A two off), and version. NoDevice where none can exist."""
        (a, b), mine = (signed(c) for c in self.hw), value(self.version)
        near = {"older": max((v for v in VERSIONS if value(v) < mine), key=value, default=None),
                "same": self.version if max(self.version) <= 127 else None,
                "newer": min((v for v in VERSIONS if value(v) > mine), key=value, default=None)}
        version = near[kind] if kind != "any" and not refused else next(
            filter(None, (near[k] for k in ("older", "newer", "same"))))
        if version is None or min(a, b) < -1:
            raise NoDevice("no device (bytes 0 to 127) is %s beside v%s, hardware 0x%02X,0x%02X"
                           % (kind, version_text(self.version), *self.hw))
        return (next(c for c in (a + 2, a - 2) if 0 <= c <= 127) if refused else max(a, 0),
                max(b, 0)) + version

    def announce(self, kind="any", refused=False):
        """The emulator's options for such a device."""
        device = self.device(kind, refused)
        return ["--hw", "%d,%d" % device[:2], "--version", "%d.%d" % device[2:]]


PRESS = "\nPress any key to continue..."


def out_of_sync(byte):
    """The line a sync byte other than 0xA5 puts on the console."""
    return "Out of sync, 0x%02x != 0xA5\n" % byte


SYNC_5A = out_of_sync(0x5A)
REFUSED = "This software file is incompatible with this Trelvane's hardware.\n"
LOST = "\nLost connection on COM%s\n" + PRESS


def listening(port):
    return "Listening for a Trelvane on COM%s\n" % port


class Texts:
    """The console of the updater program `program` of version `version`
    (the build's text, which the program prints as a number, to two
    decimals), carrying `image`."""

    def __init__(self, version, image, program):
        self.banner = "Trelvane Software Updater v%.2f\n\n" % float(version)
        self.image, self.program = image, program
        self.version = version_text(image.version)

    def asked(self):
        return ("Installing Trelvane Software v%s.\n" % self.version
                + "What COM port is the Trelvane connected to? ")

    def loaded(self):
        return "Loaded Trelvane software v%s, %d bytes.\n" % (self.version, self.image.length)

    def head(self, port):
        """Banner to the listening line, started with -PORT."""
        return self.banner + self.loaded() + listening(port)

    def select(self, device="any"):
        """'Revert' where the device's version is above the offered one (9.99 for the same)."""
        seen = self.image.device(device)[2:]
        offered = (9, 99) if seen == self.image.version else self.image.version
        return ("Warning: This Trelvane is running the same software version.\n"
                "         %s will claim to have v9.99 to allow update.\n" % self.program
                if seen == self.image.version else "") + (
            "Select '%s' on the Trelvane to replace v%s software with v%s.\n"
            % ("Revert" if value(seen) > value(offered) else "Update", version_text(seen),
               version_text(offered)))

    def transfer(self, out_of_sync="", blocks=None):
        """Loader line and progress lines of the image's transfer (the first
        `blocks` blocks only, when given): four blocks in chunk 1, two in
        each other, 2n + 2 announced; out_of_sync after every chunk but the
        last, or (a list) its own after each."""
        chunks, total = self.image.chunks, self.image.blocks
        text = "   Sent bootloader, sending %uKbytes of software (%d blocks).\n" % (4 * total, total)
        sent = 0
        for chunk in range(1, chunks + 1):
            for _ in range(4 if chunk == 1 else 2):
                sent += 1
                if blocks is not None and sent > blocks:
                    return text
                text += "\r   sending block %d of %d (%d%%)..." % (sent, total, sent * 100 // total)
            if chunk < chunks:
                text += out_of_sync[chunk - 1] if isinstance(out_of_sync, list) else out_of_sync
        return text

    def full_run(self, port, prompt=False, device="any", out_of_sync=""):
        return (self.banner + (self.asked() if prompt else "") + self.loaded() + listening(port)
                + self.select(device) + self.transfer(out_of_sync) + PRESS)
