"""The build's image check: a product build stops, naming the file and the
fault, on every image the program would refuse or no device could fit, and
embeds the others byte for byte (trelvane-mkimage's images, turned into
source by cmake/embed.cmake, compiled by the build's compiler)."""
import os
import re
import subprocess
from pathlib import Path

import pytest

from support import texts as t
from support.lines import check

pytestmark = pytest.mark.native

LENGTH = "its length does not fit its chunk count"
FIVE = t.size_of(5)  # the length five chunks call for, by the suite's own arithmetic


@pytest.mark.parametrize("args, error", [
    pytest.param("--chunks 5", None, id="image_of_5_chunks_embedded"),
    pytest.param("--chunks 0", None, id="image_of_0_chunks_embedded"),
    pytest.param("--chunks 127", None, id="image_of_127_chunks_embedded"),
    pytest.param("--header 00,03,01,01,49", "its code byte is not 0xFF", id="bad_code_byte_refused"),
    # A device announces 0 to 127: it fits hardware code 0xFF (-1), none from 0x80 to 0xFE.
    pytest.param("--chunks 0 --header FF,FF,7F,80,FF", None, id="hw_FF_7F_embedded"),
    pytest.param("--chunks 0 --header FF,80,00,01,01", "code A (0x80) fits no", id="hw_80_refused"),
    pytest.param("--chunks 0 --header FF,01,FE,01,01", "code B (0xFE) fits no", id="hw_FE_refused"),
    pytest.param("--chunks 5 --length %d" % (FIVE + 1),
                 (LENGTH, "ImageLength<5, %d, %d>" % (FIVE, FIVE + 1)), id="one_byte_long_refused"),
    pytest.param("--chunks 5 --length %d" % (FIVE - 1),
                 (LENGTH, "ImageLength<5, %d, %d>" % (FIVE, FIVE - 1)), id="one_byte_short_refused"),
    pytest.param("--chunks 5 --length 261", (LENGTH, "ImageLength<5, %d, 261>" % FIVE),
                 id="header_and_loader_only_refused"),
    pytest.param("--length 260", "too short for its header and loader",
                 id="shorter_than_the_loader_refused"),
    pytest.param("--length 0", "too short", id="empty_refused"),
])
def test_embedding(s, facts, args, error):
    image, out = os.path.join(s.tmp, "image.bin"), os.path.join(s.tmp, "image.cpp")
    subprocess.run([os.path.join(s.tools, "trelvane-mkimage")] + args.split() + [image], check=True)
    subprocess.run(["cmake", "-DIMAGE=" + image, "-DOUT=" + out, "-DCHECK=ON", "-P",
                    os.path.join(facts["source"], "cmake", "embed.cmake")], check=True)
    r = subprocess.run([facts["compiler"], "-std=c++17", "-fsyntax-only", "-I", facts["source"],
                        out], capture_output=True, text=True)
    if error is None:
        data, text = Path(image).read_bytes(), Path(out).read_text()
        body = bytes(int(x, 16) for x in re.findall(r"0x([0-9a-f]{2}),", text))
        check(r.returncode == 0 and body == data and "= %dUL;" % len(data) in text,
              "good image not embedded exactly: " + r.stderr)
    else:
        for want in (error,) if isinstance(error, str) else error:
            check(r.returncode != 0 and "Trelvane image %s: " % image in r.stderr
                  and want in r.stderr, "want an error naming %s and %r, got %r"
                  % (image, want, r.stderr))
