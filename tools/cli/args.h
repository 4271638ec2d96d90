// The tools' command lines: strict, so that a mistyped value is refused
// instead of read as something else.
#pragma once

#include <cstdint>
#include <string>

// Unsigned decimal: digits only (no sign, no blanks), at most max.
bool parseDecimal(const std::string& s, uint64_t max, uint64_t& out);

// One byte as one or two hex digits, optionally written with a 0x prefix.
bool parseHexByte(const std::string& s, unsigned char& out);

// A bad command line's exit status (sysexits.h's EX_USAGE): apart from every
// status a tool gives for what it did.
const int USAGE_STATUS = 64;

// Walks "--name value", "--name=value", flags and plain arguments; every
// mistake ends the tool through fail().
class Args {
public:
    // tool: the name messages start with; usage: how to call it.
    Args(int argc, char** argv, const char* tool, const char* usage)
        : argc_(argc), argv_(argv), tool_(tool), usage_(usage)
    {
    }

    // Says what is wrong and how to call the tool on stderr; exits with
    // USAGE_STATUS.
    [[noreturn]] void fail(const std::string& why) const;
    // The usage on stdout, for --help; exits with 0.
    [[noreturn]] void help() const;

    // Moves to the next argument; false after the last.
    bool next();
    // The option's "--name", or the whole argument when it is plain: no
    // leading '-', a lone "-", or anything after "--".
    const std::string& name() const { return name_; }
    bool plain() const { return plain_; }

    std::string value();
    // The value as a decimal of at most max.
    uint64_t number(uint64_t max);
    // Refuses "--flag=something".
    void noValue() const;

private:
    int argc_;
    char** argv_;
    const char* tool_;
    const char* usage_;
    int i_ = 0;
    bool optionsEnded_ = false;
    bool plain_ = false;
    bool inline_ = false;
    std::string name_, value_;
};
