"""What the updater shows: its console texts. The version in the banner is
the build's (use_build), as are its images."""
import json
import os

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
IMAGE = os.path.join(SOURCE, "image", "trelvane.bin")
FACTS = "trelvane-tests.json"
BANNER = None  # "Trelvane Software Updater vVERSION\n\n", once a build is known


def facts(build):
    """What the build says about itself: written by CMake when it configures
    (tests/CMakeLists.txt)."""
    path = os.path.join(build, FACTS)
    if not os.path.exists(path):
        raise FileNotFoundError("%s is missing: configure the build with its tests" % path)
    with open(path) as f:
        return json.load(f)


def use_build(found):
    """Takes the version of the build whose facts these are."""
    global BANNER
    BANNER = "Trelvane Software Updater v%s\n\n" % found["version"]


PRESS = "\nPress any key to continue..."
SYNC_5A = "Out of sync, 0x5a != 0xA5\n"
REFUSED = "This software file is incompatible with this Trelvane's hardware.\n"
LOST = "\nLost connection on COM%s\n" + PRESS


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
    `blocks` of them only, when given). The console's own count, written
    here apart from image/layout.h so that a fault there shows: four blocks
    in chunk 1, two in each other, 2n + 2 announced."""
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

