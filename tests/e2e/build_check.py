#!/usr/bin/env python3
"""The build's image check: a product build must stop, naming the file and the
fault, on every image the program itself would refuse, and embed the others
byte for byte.

  build_check.py --mkimage PATH
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

CASES = [
    # mkimage arguments, error text expected (None: the image is accepted)
    (["--chunks", "30"], None),
    (["--chunks", "0"], None),
    (["--chunks", "127"], None),
    (["--header", "00,03,01,01,49"], "code byte is 0x00, not 0xff"),
    (["--length", "254336"], "30 chunks should be 254335 bytes, the file is 254336"),
    (["--length", "254334"], "30 chunks should be 254335 bytes, the file is 254334"),
    (["--length", "260"], "260 bytes, too short for the 261 bytes of header and loader"),
    (["--length", "0"], "0 bytes, too short"),
]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--mkimage", required=True)
    a = ap.parse_args()
    tmp = tempfile.mkdtemp(prefix="trelvane-build-check-")
    failures = 0
    for i, (args, error) in enumerate(CASES):
        image = os.path.join(tmp, "image%d.bin" % i)
        out = os.path.join(tmp, "image%d.cpp" % i)
        subprocess.run([a.mkimage] + args + [image], check=True)
        r = subprocess.run(["cmake", "-DIMAGE=" + image, "-DOUT=" + out, "-DCHECK=ON", "-P",
                            os.path.join(SOURCE, "cmake", "embed.cmake")],
                           capture_output=True, text=True)
        if error is None:
            data = open(image, "rb").read()
            text = open(out).read() if r.returncode == 0 else ""
            body = bytes(int(x, 16) for x in re.findall(r"0x([0-9a-f]{2}),", text))
            if r.returncode != 0 or body != data or ("= %dUL;" % len(data)) not in text:
                print("FAIL: %s: good image not embedded exactly: %s" % (args, r.stderr))
                failures += 1
        elif r.returncode == 0 or error not in " ".join(r.stderr.split()) or image not in r.stderr:
            print("FAIL: %s: want an error naming %s and %r, got %r" % (args, image, error, r.stderr))
            failures += 1
    print("%d passed, %d failed" % (len(CASES) - failures, failures))
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
