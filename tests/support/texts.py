"""What the updater shows, and what an image is: the console texts of one
program for the image it carries, and that image's figures. The figures of
a build's own image come from the build's facts; any image's are also
worked out here from its bytes, with this file's own copy of the layout
(never image/layout.h), so that a fault there shows."""
import json
import os

FACTS = "trelvane-tests.json"

# The image's layout: header, loader, chunk 1 of four blocks and its
# checksum, then later chunks of two blocks and a checksum each.
HEADER, LOADER, BLOCK, CHECKSUM = 5, 256, 4097, 2
FIRST_CHUNK = 4 * BLOCK + CHECKSUM
LATER_CHUNK = 2 * BLOCK + CHECKSUM
# On the line before chunk 1: the offer and the go-ahead (a header each) and
# the loader; after the last chunk, three final bytes.
BEFORE_CHUNKS = 2 * HEADER + LOADER
FINAL = 3
# A device's message data bytes are 7-bit: it announces codes and versions
# from 0 to 127 only.
DEVICE_MOST = 127
# The most a line takes in that nobody reads. Measured by writing into a
# pseudo-terminal whose other side never reads, both sides raw, until the
# write would block (Linux 6.x): 20480 bytes in writes of 1 or 2 bytes,
# 20441 to 20912 in writes of 3 to 7, 11776 to 14087 in writes of a block
# and in the updater's own pieces. The Windows program under Wine put the
# same figures through WriteFile: Wine holds nothing back of its own.
LINE_BUFFERS = 20912


def facts(build, tools=None, launcher=None, program=None):
    """What the build says about itself, written by CMake when it configures
    (tests/CMakeLists.txt), with its folder; tools, launcher and program
    (a released copy of its program) override its own."""
    path = os.path.join(build, FACTS)
    if not os.path.exists(path):
        raise FileNotFoundError("%s is missing: configure the build with its tests" % path)
    with open(path) as f:
        found = json.load(f)
    found["build"] = os.path.abspath(build)
    found["tools"] = os.path.abspath(tools or found["tools"])
    found["launcher"] = list(found["launcher"] if launcher is None else launcher)
    found["program_file"] = program and os.path.abspath(program)
    return found


def signed(byte):
    return byte - 256 if byte > 127 else byte


def value(version):
    """A version as the updater compares them: signed bytes, major first."""
    return signed(version[0] % 256) * 256 + signed(version[1] % 256)


def size_of(chunks):
    """The length an image of n chunks must have; none still carries chunk
    1's room."""
    return HEADER + LOADER + FIRST_CHUNK + LATER_CHUNK * (chunks - 1)


def version_text(version):
    return "%u.%02u" % version


class Image:
    """An image's figures: its software version and hardware codes (header
    bytes 3, 4 and 1, 2), length, chunk count, the blocks the console counts
    and the bytes a complete installation puts on the line; and the points
    of that stream the cases name."""

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

    @classmethod
    def of_build(cls, found):
        """The build's own image, as its facts give it."""
        sw = found["software"]
        image = cls([int(p) for p in sw["version"].split(".")], sw["hw"], sw["length"], sw["chunks"])
        image.told = dict(sw)  # as written, for the check against the bytes
        return image

    def figures(self):
        return {"version": version_text(self.version), "hw": list(self.hw), "length": self.length,
                "chunks": self.chunks, "blocks": self.blocks, "sent": self.sent}

    def chunk_end(self, k):
        """Bytes on the line once chunk k is in, before any sync byte after
        it; None past the image's chunks."""
        if not 1 <= k <= self.chunks:
            return None
        return BEFORE_CHUNKS + FIRST_CHUNK + (LATER_CHUNK + 1) * (k - 1)

    def block_middle(self, i):
        """The middle of block i (from 1) on the line; None past the last."""
        if not 1 <= i <= 2 * self.chunks + 2 or self.chunks < 1:
            return None
        if i <= 4:
            return BEFORE_CHUNKS + (i - 1) * BLOCK + BLOCK // 2
        chunk, place = (i - 5) // 2 + 2, (i - 5) % 2
        return self.chunk_end(chunk - 1) + 1 + place * BLOCK + BLOCK // 2

    def block_at(self, fraction):
        """The middle of the block that far through the image's blocks."""
        return self.block_middle(max(1, round(self.blocks * fraction)))

    def last_read(self):
        """Bytes on the line when the updater waits for the device for the
        last time: for the sync byte after the next-to-last chunk, or else
        for the ready message after the go-ahead."""
        return self.chunk_end(self.chunks - 1) if self.chunks > 1 else 2 * HEADER

    def unseen_hangup(self, at, reads=True):
        """Why a device that stops reading after `at` bytes and hangs up goes
        unnoticed: the updater waits for it no more (reads: it waits where
        it must) and what it still writes fits in the line's buffers, so its
        run completes; None where the updater sees the line go."""
        left = self.sent - at
        if (reads and at <= self.last_read()) or left > LINE_BUFFERS:
            return None
        return ("the %d bytes left to write after byte %d fit in the line's buffers (%d)"
                % (left, at, LINE_BUFFERS))

    def writing_point(self):
        """A point early in block 1 with more left to write than the line
        buffers, where a device that stops reading leaves the updater
        blocked in a write; None for an image too small for that."""
        at = self.block_middle(1)
        return None if at is None or self.unseen_hangup(at, reads=False) else at

    def device(self, kind="any", refused=False):
        """What a device announces that is `kind` ("older", "same", "newer";
        "any": older where one can be) beside the image, as the updater
        compares versions (signed bytes, major first): hardware codes and
        version, each byte 0 to 127, the codes each within one of the
        image's, signed (refused: the first one out of that). The plainest
        candidates are taken; a case whose device cannot exist is skipped,
        with why."""
        if kind == "any":
            kind = next((k for k in ("older", "newer") if self.device_version(k)), "same")
        a, b = (signed(c) for c in self.hw)
        hw_a = (a + 2, a - 2, 0) if refused else (a, a + 1, a - 1)
        hw_a = [c for c in hw_a if 0 <= c <= DEVICE_MOST and (abs(c - a) > 1) == refused]
        hw_b = [c for c in (b, b + 1, b - 1, 0) if 0 <= c <= DEVICE_MOST
                and (refused or abs(c - b) <= 1)]
        version = self.device_version(kind)
        if refused:  # the hardware is refused before any version is looked at
            version = next(filter(None, map(self.device_version, ("older", "same", "newer"))))
        why = ("no device's hardware codes fit 0x%02X,0x%02X" % tuple(self.hw)
               if not (hw_a and hw_b) else None if version else
               "no device version is %s than v%s" % (kind, version_text(self.version))
               if kind != "same" else "no device announces v" + version_text(self.version))
        if why:
            import pytest  # here, not above: the bench and the tools run without it
            pytest.skip(why)
        return (hw_a[0], hw_b[0]) + version

    def device_version(self, kind):
        major, minor = (signed(b) for b in self.version)
        if kind == "same":
            candidates = [(major, minor)]
        else:
            step = 1 if kind == "newer" else -1
            candidates = [(major, minor + 7 if step > 0 else minor - 3), (major, minor + step),
                          (major + step, 0 if step > 0 else 99), (major + step, minor), (0, 0),
                          (DEVICE_MOST, DEVICE_MOST)]
            candidates = [v for v in candidates if (value(v) - value(self.version)) * step > 0]
        return next((v for v in candidates if all(0 <= b <= DEVICE_MOST for b in v)), None)

    def announce(self, kind="any", refused=False):
        """The emulator's options for such a device."""
        device = self.device(kind, refused)
        return ["--hw", "%d,%d" % device[:2], "--version", "%d.%d" % device[2:]]


PRESS = "\nPress any key to continue..."
SYNC_5A = "Out of sync, 0x5a != 0xA5\n"
REFUSED = "This software file is incompatible with this Trelvane's hardware.\n"
LOST = "\nLost connection on COM%s\n" + PRESS


def listening(port):
    return "Listening for a Trelvane on COM%s\n" % port


class Texts:
    """The console of the updater program `program` of version `version`,
    carrying `image`."""

    def __init__(self, version, image, program):
        self.banner = "Trelvane Software Updater v%s\n\n" % version
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
        """What the updater says once a device `device` beside the image has
        announced: the same version is offered as 9.99, with a warning; the
        word is 'Revert' where the device's version is above the offered
        one."""
        announced = self.image.device(device)[2:]
        same = announced == self.image.version
        offered = (9, 99) if same else self.image.version
        return (self.same_version_warning() if same else "") + (
            "Select '%s' on the Trelvane to replace v%s software with v%s.\n"
            % ("Revert" if value(announced) > value(offered) else "Update",
               version_text(announced), version_text(offered)))

    def transfer(self, out_of_sync="", blocks=None):
        """Loader line and progress lines of the image's transfer (the first
        `blocks` blocks only, when given): four blocks in chunk 1, two in
        each other, 2n + 2 announced."""
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
                text += out_of_sync
        return text

    def same_version_warning(self):
        return ("Warning: This Trelvane is running the same software version.\n"
                "         %s will claim to have v9.99 to allow update.\n" % self.program)

    def full_run(self, port, prompt=False, device="any", out_of_sync=""):
        return (self.banner + (self.asked() if prompt else "") + self.loaded() + listening(port)
                + self.select(device) + self.transfer(out_of_sync) + PRESS)
