#!/usr/bin/env python3
"""End-to-end cases: the updater (Linux, or the Windows program under Wine)
against the device emulator on a real pseudo-terminal. Checks the exact
console text, the exit status and the emulator's verdict on the bytes sent.

  e2e.py --list [--wine PREFIX] [--representative]
  e2e.py --build DIR --tools DIR [--wine PREFIX] [--launcher "CMD ARGS"] CASE
"""
import os
import shlex
import shutil
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import fail  # noqa: E402

BANNER = "Trelvane Software Updater v%s\n\n" % harness.version()
PRESS = "\nPress any key to continue..."
SYNC_5A = "Out of sync, 0x5a != 0xA5\n"


def asked(version="1.73"):
    return ("Installing Trelvane Software v%s.\n" % version
            + "What COM port is the Trelvane connected to? ")


def loaded(size, version="1.73"):
    return "Loaded Trelvane software v%s, %d bytes.\n" % (version, size)


def listening(port):
    return "Listening for a Trelvane on COM%s\n" % port


def select(word, device, offered):
    return ("Select '%s' on the Trelvane to replace v%s software with v%s.\n"
            % (word, device, offered))


def transfer(chunks, out_of_sync=""):
    """Loader line and progress lines of a whole transfer of n chunks."""
    total = 2 * chunks + 2
    text = "   Sent bootloader, sending %uKbytes of software (%d blocks).\n" % (4 * total, total)
    sent = 0
    for chunk in range(1, chunks + 1):
        for _ in range(4 if chunk == 1 else 2):
            sent += 1
            text += "\r   sending block %d of %d (%d%%)..." % (sent, total, sent * 100 // total)
        if chunk < chunks:
            text += out_of_sync
    return text


def same_version_warning(progname):
    return ("Warning: This Trelvane is running the same software version.\n"
            "         %s will claim to have v9.99 to allow update.\n" % progname)


# Image of each program variant, and its chunk count and length.
VARIANTS = {
    "": ("image", 30, 254335),
    "-n0": ("images/n0.bin", 0, 8455),
    "-n1": ("images/n1.bin", 1, 16651),
    "-n2": ("images/n2.bin", 2, 24847),
    "-badcode": ("images/badcode.bin", None, 100),
    "-badsize": ("images/badsize.bin", None, 254336),
    "-tiny": ("images/tiny.bin", None, 3),
    "-hw80": ("images/hw80.bin", None, 8455),
    "-v129": ("images/v129.bin", 0, 8455),
}
# Bytes a correct updater sends for each chunk count.
SENT = {30: 254372, 0: 269, 1: 16659, 2: 24856}


def full_run(port, chunks=30, size=254335, prompt=False, word="Update", device="1.70",
             offered="1.73", warn="", out_of_sync=""):
    return (BANNER + (asked() if prompt else "") + loaded(size) + listening(port) + warn
            + select(word, device, offered) + transfer(chunks, out_of_sync) + PRESS)


class Case:
    def __init__(self, name, console, status=255, args=(), answer=None, variant="",
                 emu=(), verdict=0, port="2", device="emulator", expect=True, wine=True,
                 console_end=None, timeout=30, linux=True, stdin=None, wrapper=(), emu_says=()):
        self.name = name
        self.console = console        # exact text, or a function of the program name
        self.console_end = console_end  # when set: console must start with console and end with this
        self.status = status
        self.args = list(args)
        self.answer = answer
        self.variant = variant
        self.emu = list(emu)
        self.verdict = verdict        # emulator exit status, None when no emulator
        self.port = port
        self.device = device          # emulator, missing, plain
        self.expect = expect
        self.wine = wine
        self.timeout = timeout
        self.linux = linux
        self.stdin = stdin            # "closed": the program starts without standard input
        self.wrapper = list(wrapper)  # runs the Linux program under this command
        self.emu_says = list(emu_says)  # lines the emulator must print


def cases():
    c = []
    c.append(Case("complete_from_prompt", full_run("2", prompt=True), answer="2\n"))
    c.append(Case("complete_from_argument", full_run("3"), args=["-3"], port="3"))
    c.append(Case("same_version_claims_9_99",
                  lambda prog: full_run("4", device="1.73", offered="9.99",
                                        warn=same_version_warning(prog)),
                  args=["-4"], port="4", emu=["--version", "1.73"]))
    c.append(Case("newer_device_reverts", full_run("5", word="Revert", device="1.80"),
                  args=["-5"], port="5", emu=["--version", "1.80"]))
    # Each hardware code on its own at the edge of the tolerance, both ways.
    refused = "This software file is incompatible with this Trelvane's hardware.\n" + PRESS
    for hw, fits in (("4,0", True), ("2,1", True), ("3,2", True), ("3,0", True),
                     ("5,1", False), ("1,1", False), ("3,3", False)):
        name = "hardware_%s_%s" % (hw.replace(",", "_"), "accepted" if fits else "refused")
        c.append(Case(name, full_run("6") if fits else BANNER + loaded(254335) + listening("6") + refused,
                      args=["-6"], port="6", emu=["--hw", hw], verdict=0 if fits else 2))
    # Header bytes of 0x80 and above, where signed and unsigned comparisons
    # part: code A 0x80 is -128, two hundred and fifty-five away from a
    # device's 127; version 129.00 is below the device's 1.70.
    c.append(Case("hardware_0x80_in_the_image_refused",
                  BANNER + loaded(8455) + listening("7") + refused, args=["-7"], port="7",
                  variant="-hw80", emu=["--hw", "127,1"], verdict=2))
    c.append(Case("version_0x81_in_the_image_reverts",
                  BANNER + loaded(8455, "129.00") + listening("8")
                  + select("Revert", "1.70", "129.00") + transfer(0) + PRESS,
                  args=["-8"], port="8", variant="-v129"))
    # A device that announces from before the port is opened, and again
    # every 200 ms until the offer comes: the updater sends nothing before
    # its offer, and lets go of a device it refuses.
    c.append(Case("device_announcing_before_the_open", full_run("3"), args=["-3"], port="3",
                  emu=["--announce-every", "200"], emu_says=["emu: 0 bytes before the offer"]))
    c.append(Case("device_announcing_before_the_open_refused",
                  BANNER + loaded(254335) + listening("5")
                  + "This software file is incompatible with this Trelvane's hardware.\n" + PRESS,
                  args=["-5"], port="5", emu=["--announce-every", "200", "--hw", "5,1"], verdict=2,
                  emu_says=["emu: 0 bytes before the offer"]))
    c.append(Case("noise_void_and_other_messages_skipped", full_run("7"), args=["-7"], port="7",
                  emu=["--noise-before-announce", "3000", "--noise-before-ready", "2000",
                       "--chatter", "3"]))
    c.append(Case("wrong_sync_byte_reported", full_run("8", out_of_sync=SYNC_5A), args=["-8"],
                  port="8", emu=["--sync", "5A"]))
    for variant, port in (("-n0", "2"), ("-n1", "3"), ("-n2", "4")):
        _, chunks, size = VARIANTS[variant]
        c.append(Case("image_of_%s_chunks" % chunks, full_run(port, chunks=chunks, size=size),
                      args=["-" + port], port=port, variant=variant))
    c.append(Case("image_bad_code_byte",
                  BANNER + "File error, please re-download.\n" + PRESS,
                  args=["-5"], port="5", variant="-badcode", emu=["--silent"], verdict=1,
                  expect=False))
    c.append(Case("image_bad_size",
                  BANNER + "File fails size check, 30 chunks should be 254335 bytes.  "
                  "File is 254336.\n" + PRESS,
                  args=["-7"], port="7", variant="-badsize", emu=["--silent"], verdict=1,
                  expect=False))
    c.append(Case("image_shorter_than_header",
                  BANNER + asked("0.00") + "File error, please re-download.\n" + PRESS,
                  answer="8\n", port="8", variant="-tiny", emu=["--silent"], verdict=1,
                  expect=False))
    c.append(Case("port_cannot_be_opened", BANNER + "Couldn't open COM7\n" + PRESS, status=1,
                  args=["-7"], port="7", device="missing", verdict=None))
    c.append(Case("answer_com4_names_comc", BANNER + asked() + "Couldn't open COMC\n" + PRESS,
                  status=1, answer="COM4\n", port="C", device="missing", verdict=None))
    c.append(Case("port_is_a_plain_file", BANNER + "Error initializing COM3\n" + PRESS, status=1,
                  args=["-3"], port="3", device="plain", verdict=None))
    # The line hung up: while the updater writes, with far more left to
    # write than the line buffers (the device sends its sync bytes early, so
    # the updater never stops to read one), and while it waits for the
    # device's replies.
    lost = "\nLost connection on COM%s\n" + PRESS
    c.append(Case("line_lost_while_writing", BANNER + loaded(254335) + listening("4")
                  + select("Update", "1.70", "1.73") + transfer(30).split("\r")[0],
                  console_end=lost % "4", args=["-4"], port="4",
                  emu=["--hangup-after", "20000", "--early-sync"], verdict=3, expect=False))
    c.append(Case("line_lost_while_reading", BANNER + loaded(254335) + listening("5")
                  + select("Update", "1.70", "1.73") + lost % "5",
                  args=["-5"], port="5", emu=["--hangup-after", "5"], verdict=3, expect=False))

    # Hang-ups spread over the whole exchange: before the announce, inside
    # and after each frame, in the loader, in blocks, at checksums, at sync
    # bytes and at the last sync byte before the end; both programs, reading
    # or writing when it happens.
    # Spread over the ports, so that Wine runs several at once.
    for i, n in enumerate(HANGUP_POINTS):
        port = "23456789"[i % 8]
        c.append(Case("line_lost_after_%d_bytes" % n, BANNER + loaded(254335) + listening(port),
                      console_end=lost % port, args=["-" + port], port=port,
                      emu=["--hangup-after", str(n)], verdict=3, expect=False))
    # The device gone before it ever spoke.
    c.append(Case("line_lost_before_the_announce", BANNER + loaded(254335) + listening("3")
                  + lost % "3", args=["-3"], port="3", emu=["--silent", "--hangup-after", "0"],
                  verdict=3, expect=False))

    c.append(Case("noise_storms_before_announce_and_ready", full_run("4"), args=["-4"], port="4",
                  emu=["--noise-before-announce", "1048576", "--noise-before-ready", "262144",
                       "--chatter", "20", "--seed", "7"], timeout=120))
    c.append(Case("prompt_answer_of_10000_characters",
                  BANNER + asked() + "Couldn't open COM5\n" + PRESS, status=1,
                  answer="5" * 10000 + "\n", port="5", device="missing", verdict=None))
    # Wine links COM1 to the machine's real first serial port whenever it
    # starts, so the cases that end up on COM1 run on Linux only. (Wine also
    # gives a program started without standard input a descriptor of its
    # own there, which never ends.)
    c.append(Case("end_of_input_takes_com1",
                  BANNER + asked() + "Couldn't open COM1\n" + PRESS, status=1,
                  port="1", device="missing", verdict=None, wine=False))
    c.append(Case("closed_standard_input_takes_com1",
                  BANNER + asked() + "Couldn't open COM1\n" + PRESS, status=1, stdin="closed",
                  port="1", device="missing", verdict=None, wine=False))
    if shutil.which("valgrind"):
        c.append(Case("complete_run_under_valgrind", full_run("2"), args=["-2"], wine=False,
                      wrapper=["valgrind", "-q", "--error-exitcode=99", "--leak-check=full",
                               "--errors-for-leak-kinds=definite"], timeout=180))
    return c


HANGUP_POINTS = (
    0,       # right after the announce
    3,       # inside the offer
    5,       # after the offer, while the device's replies are awaited
    8,       # inside the go-ahead
    10,      # after the go-ahead, while ready is awaited
    100,     # inside the loader
    266,     # after the loader
    1000,    # block 1
    5000,    # block 2
    12000,   # block 3
    16655,   # chunk 1's checksum
    16656,   # after chunk 1, before the device's sync byte
    16657,   # right after the updater's sync byte
    24852,   # chunk 2's checksum
    60000,
    100000,
    150000,
    200000,
    238000,  # chunk 28
    246172,  # after chunk 29, at the last sync byte
)


def first_difference(got, want):
    n = next((i for i, (a, b) in enumerate(zip(got, want)) if a != b), min(len(got), len(want)))
    return "first difference at %d:\n got: %r\nwant: %r" % (n, got[max(0, n - 40):n + 80],
                                                          want[max(0, n - 40):n + 80])


# The cases that stand for every kind of run, for the programs of other
# processors and of 32-bit Windows.
REPRESENTATIVE = ("complete_from_argument", "same_version_claims_9_99", "hardware_5_1_refused",
                  "image_of_0_chunks", "image_of_1_chunks", "line_lost_while_reading",
                  "line_lost_while_writing")


def main():
    a = harness.arguments("--ports-of", "--sanitized!", "--representative!", "--launcher")
    table = [c for c in cases() if not (a.sanitized and c.wrapper)
             and (c.name in REPRESENTATIVE or not a.representative)]
    if a.ports_of:  # the Wine prefix's port links a case uses, for ctest to share out
        print("wine-com" + next(c.port for c in table if c.name == a.ports_of))
        return
    if a.list:
        print(";".join(c.name for c in table if (c.wine if a.wine else c.linux)))
        return
    case = next((c for c in table if c.name == a.case), None)
    if case is None:
        fail("no case " + str(a.case))
    run(case, harness.Session(a.build, a.tools, a.wine, deadline=case.timeout),
        shlex.split(a.launcher or ""))


def run(case, session, launcher=()):
    image_rel, _, _ = VARIANTS[case.variant]
    image = harness.IMAGE if image_rel == "image" else os.path.join(session.build, image_rel)
    emu = None
    if case.device == "missing":
        session.no_device(case.port)
    elif case.device == "plain":
        session.no_device(case.port, plain_file=True)
    else:
        emu = session.emulator(case.port, case.emu, expect=image if case.expect else False)
    upd = session.updater(case.port, case.args, variant=case.variant, answer=case.answer,
                          stdin_closed=case.stdin == "closed",
                          wrapper=list(launcher) + case.wrapper)
    result = upd.finish()
    emu_status, emu_out = emu.finish() if emu else (None, "")
    print(emu_out, end="")
    print(result.console)
    console = result.console

    want = case.console(upd.program) if callable(case.console) else case.console
    if case.console_end is not None:
        if not console.startswith(want) or not console.endswith(case.console_end):
            fail("console should start with %r and end with %r, got %r"
                 % (want, case.console_end, console[-300:]))
        if console.count(case.console_end) != 1:
            fail("the end shows more than once")
    elif console != want:
        fail("console text differs; " + first_difference(console, want))
    if result.status != case.status:
        fail("exit status %d, want %d" % (result.status, case.status))
    if emu:
        if emu_status != case.verdict:
            fail("emulator exit status %d, want %d" % (emu_status, case.verdict))
        if "emu: line set to 115200 8N1 raw\n" not in emu_out:
            fail("the port was not set to 115200 8N1 raw")
        if case.expect and case.verdict == 0:
            _, chunks, _ = VARIANTS[case.variant]
            if "emu: expect: exact (%d bytes)" % SENT[chunks] not in emu_out:
                fail("the bytes sent are not exactly what the image calls for")
        for line in case.emu_says:
            if line + "\n" not in emu_out:
                fail("the emulator did not say %r" % line)
    print("PASS")


if __name__ == "__main__":
    main()
