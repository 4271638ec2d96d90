#include "tools/cli/args.h"

#include <cstdio>
#include <cstdlib>

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

void Args::fail(const std::string& why) const
{
    fprintf(stderr, "%s: %s\n", tool_, why.c_str());
    fputs(usage_, stderr);
    exit(USAGE_STATUS);
}

void Args::help() const
{
    fputs(usage_, stdout);
    exit(0);
}

bool Args::next()
{
    if (++i_ >= argc_)
        return false;
    name_ = argv_[i_];
    if (!optionsEnded_ && name_ == "--") {
        optionsEnded_ = true;
        return next();
    }
    plain_ = optionsEnded_ || name_.empty() || name_[0] != '-' || name_ == "-";
    size_t eq = name_.find('=');
    inline_ = !plain_ && name_.compare(0, 2, "--") == 0 && eq != std::string::npos;
    if (inline_) {
        value_ = name_.substr(eq + 1);
        name_.resize(eq);
    }
    return true;
}

std::string Args::value()
{
    if (inline_)
        return value_;
    if (i_ + 1 >= argc_)
        fail("missing value for " + name_);
    return argv_[++i_];
}

uint64_t Args::number(uint64_t max)
{
    uint64_t v = 0;
    if (!parseDecimal(value(), max, v))
        fail("bad number for " + name_);
    return v;
}

void Args::noValue() const
{
    if (inline_)
        fail(name_ + " takes no value");
}
