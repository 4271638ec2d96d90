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
    refused, lost, file_error = t.REFUSED + t.PRESS, t.LOST, "File error, please re-download.\n"
    # A refused image: nothing reaches the device, which never speaks.
    silent = dict(emu=["--silent"], verdict=1, says="emu: received 0 bytes", announce=None)

    def fails(text, asked=False):  # banner, the question where asked, text (or text(x)), key
        return lambda x: x.banner + x.asked() * asked + (text(x) if callable(text) else text) \
            + t.PRESS

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
            emu=["--fault", "announce:noise=1048576", "--fault", "ready:noise=262144",
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
        row("image_bad_code_byte", "5", fails(file_error), variant="-badcode",
            **silent),
        row("image_bad_size", "7", fails(
            lambda x: "File fails size check, %d chunks should be %d bytes.  File is %d.\n"
            % (x.image.chunks, t.size_of(x.image.chunks), x.image.length)), variant="-badsize",
            **silent),
        row("image_shorter_than_header", "8", fails(file_error, asked=True),
            answer="8\n", variant="-tiny", **silent),
        # A bench's USB adapter on COM17, named for COM3 by TRELVANE_COM3
        # (under Wine: COM17, opened as \\.\COM17); the messages say COM3.
        row("port_above_com9_named_by_the_environment", "3", lambda x: x.full_run("3"),
            named="17", representative=True),
        row("port_cannot_be_opened", "7", fails("Couldn't open COM7\n"), status=1,
            device="missing"),
        # How the argument and the answer pick the port is a unit test's
        # table (tests/start_test.cpp); a whole program reads the longest
        # answer through its own C run-time's scanf, Windows' under Wine.
        row("prompt_answer_of_10000_characters", "5", fails("Couldn't open COM5\n", True),
            status=1, answer="5" * 10000 + "\n", device="missing"),
        row("port_is_a_plain_file", "3", fails("Error initializing COM3\n"), status=1,
            device="plain"),
        # The line hung up while the updater reads and while it writes: blocked
        # (with --prompt-sync it never waits for a sync byte) or after its pause,
        # where the drop before chunk 1 finds it gone. At its other waits and at
        # any byte the fault campaign hangs it up (test_campaign.py).
        row("line_lost_while_reading", "5", lambda x: x.head("5") + x.select() + lost % "5",
            emu=["--stop-at", "5,hangup"], verdict=3, representative=True),
        row("line_lost_while_writing", "4", lambda x: x.head("4") + x.select()
            + x.transfer(blocks=0), ends=lost % "4", emu=["--prompt-sync"],
            hangup=lambda im: im.writing_point(), verdict=3, representative=True),
        row("line_lost_after_the_pause", "9", lambda x: x.head("9"), ends=lost % "9", verdict=3,
            hangup=lambda im: None if im.unseen_hangup(100) else 100),  # inside the loader
        # Wine links COM1 to the machine's real first serial port whenever it
        # starts, so the cases that end up on COM1 run on Linux only (and gives a
        # program started without standard input one of its own, which never ends).
        row("closed_standard_input_takes_com1", "1", fails("Couldn't open COM1\n", True),
            status=1, answer="", stdin_closed=True, device="missing", wine=False),
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


@pytest.mark.parametrize("port, want, kw", cases())
def test_run(s, port, want, kw):
    kw = dict(kw)
    if "hangup" in kw:  # after so many bytes of the stream; None: where the updater cannot see it
        at = kw.pop("hangup")(s.image())
        if at is None:
            pytest.skip("an image of %d chunks has no such point, or the rest fits the line's "
                        "buffers" % s.image().chunks)
        kw["emu"] = ["--stop-at", "%d,hangup" % at] + list(kw.get("emu", ()))
    if "chunks" in kw:  # a test image of the chunks the row is named for
        chunks = kw.pop("chunks")
        check(s.image(kw["variant"]).chunks == chunks, "%s has %d chunks, want %d" % (
            s.images[kw["variant"]], s.image(kw["variant"]).chunks, chunks))
    updater_run(s, port, want, **kw)

