#include "tools/emu/faults.h"

#include "tools/cli/args.h"

using namespace device;

namespace {

// Generous caps: they only keep a mistyped number from meaning gigabytes or
// a chunk no image has.
const uint64_t MAX_NOISE = 64ull * 1024 * 1024;
const uint64_t MAX_CHUNK = 1u << 30;

bool parsePoint(const std::string& s, Fault& f)
{
    // The points' names, in Point's order.
    const char* names[] = {"announce", "reply1", "reply2", "ready", "loader", "sync"};
    for (int p = 0; p < 6; ++p)
        if (s == names[p]) {
            f.point = static_cast<Point>(p);
            return true;
        }
    f.point = Point::Sync;
    return s.compare(0, 4, "sync") == 0 && parseDecimal(s.substr(4), MAX_CHUNK, f.chunk) &&
           f.chunk > 0;
}

// Two hex digits a byte, at least one byte: "FF00A5".
bool parseHexBytes(const std::string& s, std::vector<unsigned char>& out)
{
    for (size_t i = 0; i < s.size(); i += 2) {
        unsigned char b;
        if (s.size() - i < 2 || !parseHexByte(s.substr(i, 2), b))
            return false;
        out.push_back(b);
    }
    return !out.empty();
}

} // namespace

bool parsePair(const std::string& s, char sep, uint64_t maxA, uint64_t maxB, uint64_t& a,
               uint64_t& b)
{
    size_t at = s.find(sep);
    return at != std::string::npos && parseDecimal(s.substr(0, at), maxA, a) &&
           parseDecimal(s.substr(at + 1), maxB, b);
}

bool parseFault(const std::string& text, Fault& f)
{
    f = Fault();
    f.text = text;
    size_t colon = text.find(':'), eq = text.find('=', colon);
    if (colon == std::string::npos || !parsePoint(text.substr(0, colon), f))
        return false;
    std::string kind = text.substr(colon + 1, eq - colon - 1);
    std::string value = eq == std::string::npos ? "" : text.substr(eq + 1);
    if (kind == "bytes" || kind == "before")
        return parseHexBytes(value, kind == "bytes" ? f.bytes : f.before);
    if (kind == "noise")
        return parseDecimal(value, MAX_NOISE, f.noise) && f.noise > 0;
    // The loader has no message of the device's to repeat or hold back, and
    // a sync byte is one byte: no pieces.
    if (f.point == Point::Loader)
        return false;
    if (kind == "again")
        return f.again = eq == std::string::npos;
    if (kind == "delay")
        return parseDecimal(value, MAX_MS, f.delayMs);
    return kind == "split" && f.point != Point::Sync &&
           parsePair(value, ',', MESSAGE - 1, MAX_MS, f.cut, f.pauseMs) && f.cut > 0;
}

void addNoise(Rng& rng, std::vector<unsigned char>& out, uint64_t n, unsigned char never)
{
    for (size_t end = out.size() + n; out.size() < end;) {
        uint32_t r = rng.next();
        unsigned char b = (r & 7) == 0 ? 0xF0 + (r >> 8) % 15 : (r >> 8) % 0xF0;
        if (b != never)
            out.push_back(b);
    }
    out.insert(out.end(), 4, 0);
}
