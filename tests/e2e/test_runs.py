"""End-to-end cases: the updater (Linux, or the Windows program under Wine)
against the device emulator on a pseudo-terminal: the exact console text,
the exit status and the emulator's verdict on the bytes sent."""
import shutil

import pytest

from support import texts as t
from support.lines import check
from support.runs import updater_run


def row(name, port, want, representative=False, deadline=None, wine=True, sanitized=True, **kw):
    marks = [pytest.mark.representative] if representative else []
    marks += [] if wine else [pytest.mark.linux]
    marks += [] if sanitized else [pytest.mark.unsanitized]
    marks += [pytest.mark.timeout(deadline)] if deadline else []
    return pytest.param(port, want, kw, id=name, marks=marks)


def cases():
    refused, lost = t.REFUSED + t.PRESS, t.LOST
    # A refused image: nothing reaches the device, which never speaks.
    silent = dict(emu=["--silent"], verdict=1, says="emu: received 0 bytes", announce=None)

    def couldnt(port, asked=True):
        return lambda x: x.banner + (x.asked() if asked else "") + "Couldn't open COM%s\n" % port \
            + t.PRESS

    def broken(text, asked=False):
        return lambda x: x.banner + (x.asked() if asked else "") + text(x) + t.PRESS

    c = [
        row("complete_from_prompt", "2", lambda x: x.full_run("2", prompt=True), answer="2\n"),
        row("complete_from_argument", "3", lambda x: x.full_run("3"), representative=True),
        row("same_version_claims_9_99", "4", lambda x: x.full_run("4", device="same"),
            announce="same", representative=True),
        row("newer_device_reverts", "5", lambda x: x.full_run("5", device="newer"), announce="newer"),
        # The push's decisions are a unit test's table (tests/link_test.cpp);
        # whole runs prove an older, the same and a newer device, a refusal.
        row("hardware_refused", "6", lambda x: x.head("6") + refused, refused=True, verdict=2,
            representative=True),
        # A device announcing from before the open, every 200 ms until the
        # offer: nothing is sent before the offer, and a refused one let go.
        row("device_announcing_before_the_open", "3", lambda x: x.full_run("3"),
            emu=["--announce-every", "200"], says="emu: 0 bytes before the offer"),
        row("device_announcing_before_the_open_refused", "5", lambda x: x.head("5") + refused,
            emu=["--announce-every", "200"], refused=True, verdict=2,
            says="emu: 0 bytes before the offer"),
        row("noise_storms_before_announce_and_ready", "4", lambda x: x.full_run("4"),
            emu=["--noise-before-announce", "1048576", "--noise-before-ready", "262144",
                 "--seed", "7"]),
        # Stray bytes before the offer and before a chunk are no answer; a reply and
        # a sync byte come after a read has timed out; a wrong sync byte is reported.
        row("stray_bytes_before_the_offer", "8", lambda x: x.full_run("8"), representative=True,
            emu=["--fault", "announce:again", "--fault", "announce:again", "--fault",
                 "reply2:delay=600"]),
        row("stray_bytes_before_a_chunk", "9", lambda x: x.full_run("9", out_of_sync=t.SYNC_5A),
            emu=["--sync", "5A", "--fault", "ready:again", "--fault", "ready:bytes=FF", "--fault",
                 "loader:bytes=00", "--fault", "sync:again", "--fault", "sync1:delay=600"],
            representative=True),
        # The test images' figures come from their bytes, lengths from texts.size_of.
        row("image_of_0_chunks", "2", lambda x: x.full_run("2"), variant="-n0", chunks=0,
            representative=True),
        row("image_of_1_chunks", "3", lambda x: x.full_run("3"), variant="-n1", chunks=1,
            representative=True),
        row("image_of_2_chunks", "4", lambda x: x.full_run("4"), variant="-n2", chunks=2),
        row("image_bad_code_byte", "5", broken(lambda x: "File error, please re-download.\n"),
            variant="-badcode", **silent),
        row("image_bad_size", "7", broken(
            lambda x: "File fails size check, %d chunks should be %d bytes.  File is %d.\n"
            % (x.image.chunks, t.size_of(x.image.chunks), x.image.length)), variant="-badsize",
            **silent),
        row("image_shorter_than_header", "8", broken(
            lambda x: "File error, please re-download.\n", asked=True), answer="8\n",
            variant="-tiny", **silent),
        # A bench's USB adapter on COM17, named for COM3 by TRELVANE_COM3
        # (under Wine: COM17, opened as \\.\COM17); the messages say COM3.
        row("port_above_com9_named_by_the_environment", "3", lambda x: x.full_run("3"),
            named="17", representative=True),
        row("port_cannot_be_opened", "7", couldnt("7", asked=False), status=1, device="missing"),
        # How the argument and the answer pick the port is a unit test's
        # table (tests/start_test.cpp); a whole program reads the longest
        # answer through its own C run-time's scanf, Windows' under Wine.
        row("prompt_answer_of_10000_characters", "5", couldnt("5"), status=1,
            answer="5" * 10000 + "\n", device="missing"),
        row("port_is_a_plain_file", "3", lambda x: x.banner + "Error initializing COM3\n" + t.PRESS,
            status=1, device="plain"),
        # The line hung up while the updater reads and while it writes: blocked
        # (with --prompt-sync it never waits for a sync byte) or after its pause,
        # where the drop before chunk 1 finds it gone. At its other waits and at
        # any byte the fault campaign hangs it up (test_campaign.py).
        row("line_lost_while_reading", "5", lambda x: x.head("5") + x.select() + lost % "5",
            emu=["--stop-at", "5,hangup"], verdict=3, representative=True),
        row("line_lost_while_writing", "4", lambda x: x.head("4") + x.select()
            + x.transfer(blocks=0), ends=lost % "4", emu=["--prompt-sync"], hangup="writing",
            verdict=3, representative=True),
        row("line_lost_after_the_pause", "9", lambda x: x.head("9"), ends=lost % "9",
            hangup="after_the_pause", verdict=3),
        # Wine links COM1 to the machine's real first serial port whenever it
        # starts, so the cases that end up on COM1 run on Linux only (and gives a
        # program started without standard input one of its own, which never ends).
        row("closed_standard_input_takes_com1", "1", couldnt("1"), status=1, answer="",
            stdin_closed=True, device="missing", wine=False),
        # Started with no standard input at all (a service, a factory
        # script): the port may open as descriptor 0, and is still a port.
        row("closed_standard_input_port_given", "3", lambda x: x.full_run("3"),
            stdin_closed=True, wine=False),
    ]
    if shutil.which("valgrind"):
        c.append(row("complete_run_under_valgrind", "2", lambda x: x.full_run("2"), wrapper=[
            "valgrind", "-q", "--error-exitcode=99", "--leak-check=full",
            "--errors-for-leak-kinds=definite"], wine=False, deadline=60, sanitized=False))
    return c


# Where the device hangs up: after this many bytes have come in, in the
# image's stream (texts.Image); None where the image has no such point.
HANGUP_POINTS = {
    "after_the_pause": lambda im: 100,  # inside the loader, which the updater has sent
    "writing": lambda im: im.block_middle(1),
}


def hangup_options(s, name):
    im = s.image()
    at = HANGUP_POINTS[name](im)
    why = ("an image of %d chunks has no point %s" % (im.chunks, name) if at is None
           else im.unseen_hangup(at, reads=name != "writing"))
    if why:
        pytest.skip(why)
    return ["--stop-at", "%d,hangup" % at]


@pytest.mark.parametrize("port, want, kw", cases())
def test_run(s, port, want, kw):
    kw = dict(kw)
    if "hangup" in kw:
        kw["emu"] = hangup_options(s, kw.pop("hangup")) + list(kw.get("emu", ()))
    if "chunks" in kw:  # a test image of the chunks the row is named for
        chunks = kw.pop("chunks")
        check(s.image(kw["variant"]).chunks == chunks, "%s has %d chunks, want %d" % (
            s.images[kw["variant"]], s.image(kw["variant"]).chunks, chunks))
    updater_run(s, port, want, **kw)

