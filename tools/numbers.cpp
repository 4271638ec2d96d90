#include "tools/numbers.h"

namespace {

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

bool parseDecimal(const std::string& s, uint64_t max, uint64_t& out)
{
    if (s.empty())
        return false;
    uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9')
            return false;
        unsigned d = static_cast<unsigned>(c - '0');
        if (v > (max - d) / 10)
            return false;
        v = v * 10 + d;
    }
    out = v;
    return true;
}

bool parseHexByte(const std::string& s, unsigned char& out)
{
    size_t at = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X') ? 2 : 0;
    size_t digits = s.size() - at;
    if (digits == 0 || digits > 2)
        return false;
    int v = 0;
    for (; at < s.size(); ++at) {
        int d = hexDigit(s[at]);
        if (d < 0)
            return false;
        v = v * 16 + d;
    }
    out = static_cast<unsigned char>(v);
    return true;
}
