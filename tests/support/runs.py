"""One updater against one device, its console, exit status and the
device's verdict checked: the table cases' and the release checks' run."""
from support.harness import LINE_RAW
from support.lines import check, same


def updater_run(s, port, want, status=255, answer=None, variant="", emu=(), verdict=0,
                device="emulator", ends=None, says=None, announce="any", refused=False,
                **updater):
    """Runs one updater on COMport (-port, or the answer at its prompt)
    against `device`: the emulator (on COM<named>, which names COMport, where
    given) with options emu, announcing `announce` (texts.Image.device; refused: hardware out of
    its tolerance), "missing" or "plain" (a plain file). want: the exact
    console, from the program's texts (with ends: its start, ends its end);
    verdict: the emulator's exit status, 0 exact; says: a line it prints."""
    emu_run, out = None, ""
    if device == "emulator":
        emu_run = s.emulator(updater.get("named") or port, emu, expect=verdict in (0, 2),
                             variant=variant, device=announce, refused=refused)
    else:
        s.no_device(port, plain_file=device == "plain")
    r = s.updater(port, [] if answer is not None else ["-" + port], variant=variant,
                  answer=answer, **updater).finish()
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
    """Why the run r ended too long after the device hung up, or None. A read
    gives up within half a second: a lost line ends the run soon (about 0.1 s
    under Wine, next to nothing on Linux)."""
    hung = device.time_of("emu: hung up")
    if hung is not None and r.ended_ns - hung >= 2e9:
        return "the updater ended %.1f s after the hang-up, want under 2 s" % (
            (r.ended_ns - hung) / 1e9)
    return None
