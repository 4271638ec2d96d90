// The tools' command lines: strict, so that a mistyped value is refused
// instead of read as something else.
#pragma once

#include <cstdint>
#include <string>

// Says what is wrong and how to call the tool, then exits. Each tool has its
// own.
[[noreturn]] void usage(const std::string& why);

// Unsigned decimal: digits only (no sign, no blanks), at most max.
bool parseDecimal(const std::string& s, uint64_t max, uint64_t& out);

// One byte as one or two hex digits, optionally written with a 0x prefix.
bool parseHexByte(const std::string& s, unsigned char& out);

// Walks "--name value", "--name=value", flags and plain arguments; every
// mistake goes to usage().
class Args {
public:
    Args(int argc, char** argv) : argc_(argc), argv_(argv) {}

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
    int i_ = 0;
    bool optionsEnded_ = false;
    bool plain_ = false;
    bool inline_ = false;
    std::string name_, value_;
};
