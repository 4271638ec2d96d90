#include "tools/emu/faults.h"

#include "tools/cli/args.h"
#include "tools/emu/log.h"

namespace {

// Generous caps: they only keep a mistyped number from meaning days or
// a chunk no image has.
const uint64_t MAX_DELAY_MS = 24ull * 3600 * 1000;
const uint64_t MAX_CHUNK = 1u << 30;

bool parsePoint(const std::string& s, Fault& f)
{
    const struct {
        const char* name;
        Point point;
    } points[] = {{"announce", Point::Announce}, {"reply1", Point::Reply1},
                  {"reply2", Point::Reply2},     {"ready", Point::Ready},
                  {"loader", Point::Loader},     {"sync", Point::Sync}};
    for (const auto& p : points)
        if (s == p.name) {
            f.point = p.point;
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

bool parseFault(const std::string& text, Fault& f)
{
    f = Fault();
    f.text = text;
    size_t colon = text.find(':');
    if (colon == std::string::npos || !parsePoint(text.substr(0, colon), f))
        return false;
    std::string kind = text.substr(colon + 1);
    if (kind.compare(0, 6, "bytes=") == 0)
        return parseHexBytes(kind.substr(6), f.bytes);
    // The loader has no message of the device's to repeat or to hold back.
    if (f.point == Point::Loader)
        return false;
    f.again = kind == "again";
    return f.again || (kind.compare(0, 6, "delay=") == 0 &&
                       parseDecimal(kind.substr(6), MAX_DELAY_MS, f.delayMs));
}

int64_t Faults::delayNs(Point p, uint64_t chunk) const
{
    int64_t ns = 0;
    for (const Fault& f : all_)
        if (at(f, p, chunk))
            ns += static_cast<int64_t>(f.delayMs) * NS_PER_MS;
    return ns;
}

std::vector<unsigned char> Faults::around(Point p, uint64_t chunk, const unsigned char* msg,
                                          size_t n) const
{
    std::vector<unsigned char> out(msg, msg + n);
    for (const Fault& f : all_)
        if (at(f, p, chunk) && f.again)
            out.insert(out.end(), msg, msg + n);
    for (const Fault& f : all_)
        if (at(f, p, chunk))
            out.insert(out.end(), f.bytes.begin(), f.bytes.end());
    return out;
}

void Faults::tell(Point p, uint64_t chunk) const
{
    std::string where = p == Point::Sync ? " after chunk " + std::to_string(chunk) : "";
    for (const Fault& f : all_)
        if (at(f, p, chunk))
            say("sent fault %s%s", f.text.c_str(), where.c_str());
}
