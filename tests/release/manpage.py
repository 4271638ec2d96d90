"""The manual page passes mandoc's lint, and each text it quotes is a
message the program prints (its format strings in the sources, filled in,
spaced as the page is set), each message is quoted, and what a run printed
of the program's version and software is quoted as printed."""
import glob
import os
import re
from pathlib import Path

from support.commands import ran, run
from support.lines import check

# The updater's own layers; tools and tests print their own texts.
LAYERS = ("app", "image", "link", "push")

# A printf call's format: one or more adjacent string literals.
PRINTF = re.compile(r'\bprintf\(\s*((?:"(?:[^"\\]|\\.)*"\s*)+)')
LITERAL = re.compile(r'"((?:[^"\\]|\\.)*)"')
CONVERSION = re.compile(r"%(\.\d+f|0?\d*l?[duxX]|s|%)")
# What a conversion prints, by its last letter (N: a float's digits); an integer otherwise.
PRINTS = {"%": "%", "s": r"\S+", "f": r"\d+\.\d{N}", "x": "[0-9a-f]+", "X": "[0-9A-F]+"}


# Any other way to print, which program_messages() would not read.
OTHER_OUTPUT = re.compile(r"\b(f?puts|putchar|fprintf|fwrite|cout|cerr)\b")


def program_messages(source):
    """The updater's every printf format string, and the files that print otherwise."""
    found, elsewhere = [], []
    for layer in LAYERS:
        for path in sorted(glob.glob(os.path.join(source, layer, "*.cpp"))):
            code = Path(path).read_text()
            for call in PRINTF.finditer(code):
                text = "".join(LITERAL.findall(call.group(1)))
                found.append(text.encode().decode("unicode_escape"))
            if OTHER_OUTPUT.search(code):
                elsewhere.append(os.path.relpath(path, source))
    return found, elsewhere


def as_pattern(message):
    """A format string as a regular expression over its printed texts, each
    run of blank space one space, as quotes() leaves it."""
    # re.split with one group: literal text at even places, conversions at odd.
    return "".join(re.escape(re.sub(r"\s+", " ", piece)) if at % 2 == 0 else
                   PRINTS.get(piece[-1], r"-?\d+").replace("N", piece[1:-1])
                   for at, piece in enumerate(CONVERSION.split(message.strip())))


def quotes(page):
    """Every text in double quotes of the page as mandoc sets it in plain
    ASCII (overstriking removed), its blank space made single spaces."""
    text = re.sub(r".\x08", "", ran(["mandoc", "-Tascii", page]))
    return [" ".join(q.split()) for q in re.findall(r'"([^"]*)"', text)]


def check_page(page, source, printed):
    """mandoc -Tlint finds nothing, down to its style remarks; the page's
    quotes are the program's messages, each quoted; a quote of a message
    the program printed up to its listening line is that text."""
    code, out = run(["mandoc", "-Tlint", "-W", "all", page])
    check(code == 0 and not out.strip(), "mandoc -Tlint on %s:\n%s" % (page, out))
    messages, elsewhere = program_messages(source)
    check(messages and not elsewhere, "the program's messages are not all printf calls in %s: %s"
          % (", ".join(LAYERS), ", ".join(elsewhere) or "none found"))
    patterns = [re.compile(as_pattern(m)) for m in messages]
    said = quotes(page)
    stray = [q for q in said if not any(p.fullmatch(q) for p in patterns)]
    check(not stray, "%s quotes %r, which the program never prints" % (page, stray))
    unsaid = [m for m, p in zip(messages, patterns) if not any(p.fullmatch(q) for q in said)]
    check(not unsaid, "%s never quotes the program's messages %r" % (page, unsaid))
    head = " ".join(printed[:printed.find("\n", printed.find("Listening for a"))].split())
    for quote in said:
        for pattern in patterns:
            found = pattern.fullmatch(quote) and pattern.search(head)
            check(not found or quote in head, "%s quotes %r, but the program printed %r"
                  % (page, quote, found and found.group(0)))
