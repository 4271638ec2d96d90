"""The updater-run helper of the table cases and the release checks: one
updater against one device, its console, exit status and the device's
verdict checked."""
from support.harness import LINE_RAW
from support.lines import check, same


def updater_run(s, port, want, status=255, answer=None, variant="", emu=(), verdict=0,
                device="emulator", ends=None, says=None, args=None, announce="any",
                refused=False, **updater):
    """Runs one updater on COMport (-port, the answer at the prompt, or args)
    against `device`: the emulator with options emu, announcing a version
    `announce` beside the image's (texts.Image.device) (refused: hardware out
    of its tolerance), "missing" or "plain" (a plain file); on COM<named>
    instead, where given, which the updater's variable names for COMport.
    want: the exact console, as a function of the program's texts; with
    ends, the console's start, and ends its end. verdict: the emulator's
    exit status; 0 also means an exact run; says: a line the emulator must
    print. An image is refused once the port is open, before anything is
    sent: the device gets nothing."""
    emu_run, out = None, ""
    if device == "emulator":
        emu_run = s.emulator(updater.get("named") or port, emu, expect=verdict in (0, 2),
                             variant=variant, device=announce, refused=refused)
    else:
        s.no_device(port, plain_file=device == "plain")
    if args is None:
        args = [] if answer is not None else ["-" + port]
    upd = s.updater(port, args, variant=variant, answer=answer, **updater)
    r = upd.finish()
    print(r.console)
    text = want(s.texts(variant))
    if ends is None:
        same(r.console, text, "console text (exit status %d)" % r.status)
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
        check(LINE_RAW in out, "the port was not set to 115200 8N1 raw")
        late = late_after_hangup(r, emu_run)
        check(late is None, late)
    check(says is None or says + "\n" in out, "the emulator did not say %r" % says)
    return r.console


def late_after_hangup(r, device):
    """Why the updater's run r ended too long after the device hung up; None
    if it did not, or there was no hang-up. A read gives up within half a
    second: a lost line ends the run soon (about 0.1 s under Wine, next to
    nothing on Linux)."""
    hung = device.time_of("emu: hung up")
    if hung is not None and r.ended_ns - hung >= 2e9:
        return "the updater ended %.1f s after the hang-up, want under 2 s" % (
            (r.ended_ns - hung) / 1e9)
    return None
