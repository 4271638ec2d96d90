"""End-to-end cases: the updater (Linux, or the Windows program under Wine)
against the device emulator on a real pseudo-terminal. Checks the exact
console text, the exit status and the emulator's verdict on the bytes sent.
"""
import shutil

import pytest

import harness
import texts as t
from harness import check


def updater_run(s, port, want, status=255, answer=None, variant="", emu=(), verdict=0,
                device="emulator", ends=None, says=None, args=None, **updater):
    """Runs one updater on COMport (-port, the answer at the prompt, or args)
    against `device`: the emulator with options emu, "missing" or "plain" (a
    plain file). want: the exact console, or a function of the program's
    name; with ends, the console's start, and ends its end. verdict: the
    emulator's exit status; 0 also means an exact run; says: a line the
    emulator must print."""
    image = s.images[variant]
    emu_run, out = None, ""
    if device == "emulator":
        emu_run = s.emulator(port, emu, expect=image if verdict in (0, 2) else None)
    else:
        s.no_device(port, plain_file=device == "plain")
    if args is None:
        args = [] if answer is not None else ["-" + port]
    upd = s.updater(port, args, variant=variant, answer=answer, **updater)
    r = upd.finish()
    print(r.console)
    text = want(upd.program) if callable(want) else want
    if ends is None:
        harness.same(r.console, text, "console text (exit status %d)" % r.status)
    else:
        check(r.console.startswith(text) and r.console.endswith(ends)
              and r.console.count(ends) == 1, "console should start with %r and end once "
              "with %r, got ...%r" % (text[-80:], ends, r.console[-300:]))
    check(r.status == status, "exit status %d, want %d" % (r.status, status))
    if emu_run and verdict == 0:
        out = emu_run.exact()
    elif emu_run:
        code, out = emu_run.finish()
        check(code == verdict, "emulator exit status %d, want %d" % (code, verdict))
        check(harness.LINE_RAW in out, "the port was not set to 115200 8N1 raw")
    check(says is None or says + "\n" in out, "the emulator did not say %r" % says)


def row(name, port, want, representative=False, deadline=None, wine=True, sanitized=True, **kw):
    marks = [pytest.mark.representative] if representative else []
    marks += [] if wine else [pytest.mark.linux]
    marks += [] if sanitized else [pytest.mark.unsanitized]
    marks += [pytest.mark.timeout(deadline)] if deadline else []
    return pytest.param(port, want, kw, id=name, marks=marks)


def cases():
    refused, lost = t.REFUSED + t.PRESS, t.LOST
    c = [
        row("complete_from_prompt", "2", t.full_run("2", prompt=True), answer="2\n"),
        row("complete_from_argument", "3", t.full_run("3"), representative=True),
        row("same_version_claims_9_99", "4", lambda prog: t.full_run(
            "4", device="1.73", offered="9.99", warn=t.same_version_warning(prog)),
            emu=["--version", "1.73"], representative=True),
        row("newer_device_reverts", "5", t.full_run("5", word="Revert", device="1.80"),
            emu=["--version", "1.80"]),
        # The push's decisions are pinned row by row by its unit test
        # (tests/push_test.cpp); whole runs prove an update, a claim of 9.99,
        # a revert and a refusal.
        row("hardware_5_1_refused", "6", t.head("6") + refused, emu=["--hw", "5,1"], verdict=2,
            representative=True),
        # A device that announces from before the port is opened, and again
        # every 200 ms until the offer comes: the updater sends nothing
        # before its offer, and lets go of a device it refuses.
        row("device_announcing_before_the_open", "3", t.full_run("3"),
            emu=["--announce-every", "200"], says="emu: 0 bytes before the offer"),
        row("device_announcing_before_the_open_refused", "5", t.head("5") + refused,
            emu=["--announce-every", "200", "--hw", "5,1"], verdict=2,
            says="emu: 0 bytes before the offer"),
        row("noise_storms_before_announce_and_ready", "4", t.full_run("4"),
            emu=["--noise-before-announce", "1048576", "--noise-before-ready", "262144",
                 "--chatter", "20", "--seed", "7"]),
        row("wrong_sync_byte_reported", "8", t.full_run("8", out_of_sync=t.SYNC_5A),
            emu=["--sync", "5A"]),
        row("image_of_0_chunks", "2", t.full_run("2", 0, 8455), variant="-n0",
            representative=True),
        row("image_of_1_chunks", "3", t.full_run("3", 1, 16651), variant="-n1",
            representative=True),
        row("image_of_2_chunks", "4", t.full_run("4", 2, 24847), variant="-n2"),
        row("image_bad_code_byte", "5", t.BANNER + "File error, please re-download.\n" + t.PRESS,
            variant="-badcode", emu=["--silent"], verdict=1),
        row("image_bad_size", "7", t.BANNER + "File fails size check, 30 chunks should be "
            "254335 bytes.  File is 254336.\n" + t.PRESS,
            variant="-badsize", emu=["--silent"], verdict=1),
        row("image_shorter_than_header", "8", t.BANNER + t.asked("0.00")
            + "File error, please re-download.\n" + t.PRESS,
            answer="8\n", variant="-tiny", emu=["--silent"], verdict=1),
        row("port_cannot_be_opened", "7", t.BANNER + "Couldn't open COM7\n" + t.PRESS, status=1,
            device="missing"),
        # -0 names no port: the port is asked for.
        row("argument_minus_0_asks", "5", t.BANNER + t.asked() + "Couldn't open COM5\n" + t.PRESS,
            status=1, args=["-0"], answer="5\n", device="missing"),
        row("answer_com4_names_comc", "C", t.BANNER + t.asked() + "Couldn't open COMC\n" + t.PRESS,
            status=1, answer="COM4\n", device="missing"),
        row("prompt_answer_of_10000_characters", "5", t.BANNER + t.asked()
            + "Couldn't open COM5\n" + t.PRESS, status=1, answer="5" * 10000 + "\n",
            device="missing"),
        row("port_is_a_plain_file", "3", t.BANNER + "Error initializing COM3\n" + t.PRESS,
            status=1, device="plain"),
        # The line hung up while the updater writes, with far more left to
        # write than the line buffers (the device sends its sync bytes early,
        # so the updater never stops to read one), and while it waits for
        # the device's replies to its offer.
        row("line_lost_while_writing", "4", t.head("4") + t.select() + t.transfer(blocks=0),
            ends=lost % "4", emu=["--hangup-after", "20000", "--early-sync"], verdict=3,
            representative=True),
        row("line_lost_while_reading", "5", t.head("5") + t.select() + lost % "5",
            emu=["--hangup-after", "5"], verdict=3, representative=True),
        # The device gone before it ever spoke.
        row("line_lost_before_the_announce", "3", t.head("3") + lost % "3",
            emu=["--silent", "--hangup-after", "0"], verdict=3),
        # Wine links COM1 to the machine's real first serial port whenever
        # it starts, so the cases that end up on COM1 run on Linux only.
        # (Wine also gives a program started without standard input a
        # descriptor of its own there, which never ends.)
        row("end_of_input_takes_com1", "1", t.BANNER + t.asked() + "Couldn't open COM1\n" + t.PRESS,
            status=1, answer="", device="missing", wine=False),
        row("closed_standard_input_takes_com1", "1", t.BANNER + t.asked()
            + "Couldn't open COM1\n" + t.PRESS, status=1, answer="", stdin_closed=True,
            device="missing", wine=False),
    ]
    # Hang-ups spread over the whole exchange, both programs, reading or
    # writing when it happens; spread over the ports, so that Wine runs
    # several at once.
    for i, n in enumerate(HANGUP_POINTS):
        port = "23456789"[i % 8]
        c.append(row("line_lost_after_%d_bytes" % n, port, t.head(port), ends=lost % port,
                     emu=["--hangup-after", str(n)], verdict=3))
    if shutil.which("valgrind"):
        c.append(row("complete_run_under_valgrind", "2", t.full_run("2"), wrapper=[
            "valgrind", "-q", "--error-exitcode=99", "--leak-check=full",
            "--errors-for-leak-kinds=definite"], wine=False, deadline=60, sanitized=False))
    return c


HANGUP_POINTS = (
    0,       # right after the announce
    3,       # inside the offer
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

@pytest.mark.parametrize("port, want, kw", cases())
def test_run(s, port, want, kw):
    updater_run(s, port, want, **kw)
