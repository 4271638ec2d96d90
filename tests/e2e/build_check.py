#!/usr/bin/env python3
"""The build's image check: a product build must stop, naming the file and the
fault, on every image the program itself would refuse, and embed the others
byte for byte. Command line: harness.arguments (--tools: trelvane-mkimage).
"""
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import Case, check  # noqa: E402


def embedding(args, error=None):
    """Embeds the image trelvane-mkimage makes from args: it must be refused
    with error, or, without one, embedded exactly."""
    def run(s):
        image, out = os.path.join(s.tmp, "image.bin"), os.path.join(s.tmp, "image.cpp")
        subprocess.run([os.path.join(s.tools, "trelvane-mkimage")] + args + [image], check=True)
        r = subprocess.run(["cmake", "-DIMAGE=" + image, "-DOUT=" + out, "-DCHECK=ON", "-P",
                            os.path.join(harness.texts.SOURCE, "cmake", "embed.cmake")],
                           capture_output=True, text=True)
        if error is None:
            with open(image, "rb") as f:
                data = f.read()
            with open(out) as f:
                text = f.read()
            body = bytes(int(x, 16) for x in re.findall(r"0x([0-9a-f]{2}),", text))
            check(r.returncode == 0 and body == data and "= %dUL;" % len(data) in text,
                  "good image not embedded exactly: " + r.stderr)
        else:
            check(r.returncode != 0 and error in " ".join(r.stderr.split()) and image in r.stderr,
                  "want an error naming %s and %r, got %r" % (image, error, r.stderr))
    return run


CASES = [Case(name, embedding(args.split(), error), wine=False) for name, args, error in (
    ("image_of_30_chunks_embedded", "--chunks 30", None),
    ("image_of_0_chunks_embedded", "--chunks 0", None),
    ("image_of_127_chunks_embedded", "--chunks 127", None),
    ("bad_code_byte_refused", "--header 00,03,01,01,49", "code byte is 0x00, not 0xff"),
    ("one_byte_long_refused", "--length 254336",
     "30 chunks should be 254335 bytes, the file is 254336"),
    ("one_byte_short_refused", "--length 254334",
     "30 chunks should be 254335 bytes, the file is 254334"),
    ("shorter_than_the_loader_refused", "--length 260",
     "260 bytes, too short for the 261 bytes of header and loader"),
    ("empty_refused", "--length 0", "0 bytes, too short"))]

if __name__ == "__main__":
    sys.exit(harness.main(CASES))
