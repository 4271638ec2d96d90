// Faults a device makes in the gaps of the exchange (--fault POINT:KIND):
// its message or sync byte sent again, stray bytes behind it, or a delay
// before it. Bytes the device sent before the updater spoke are never its
// answer, and the updater must not take them for one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Where a fault happens: one of the device's messages, the pause after the
// loader, or a sync byte.
enum class Point { Announce, Reply1, Reply2, Ready, Loader, Sync };

struct Fault {
    std::string text;  // as given, for the log
    Point point = Point::Announce;
    uint64_t chunk = 0;  // Point::Sync: only the sync byte after this chunk; 0: every one
    bool again = false;  // the message or sync byte once more
    uint64_t delayMs = 0;
    std::vector<unsigned char> bytes;
};

// "POINT:KIND" (the emulator's usage says which); false when it is none.
bool parseFault(const std::string& text, Fault& fault);

class Faults {
public:
    explicit Faults(const std::vector<Fault>& all) : all_(all) {}

    // How long the device waits before it speaks at the point: every delay there.
    int64_t delayNs(Point p, uint64_t chunk = 0) const;
    // What it writes there in one piece, so that the updater has it all
    // before it can read any of it: the message (n bytes; none after the
    // loader), each copy of it, then the stray bytes.
    std::vector<unsigned char> around(Point p, uint64_t chunk, const unsigned char* msg,
                                      size_t n) const;
    // One line for each fault at the point, once it has been sent.
    void tell(Point p, uint64_t chunk) const;

private:
    bool at(const Fault& f, Point p, uint64_t chunk) const
    {
        return f.point == p && (f.chunk == 0 || f.chunk == chunk);
    }

    const std::vector<Fault>& all_;
};

// The device's messages as the updater's receiver reads them: a code byte
// (0xF0-0xFF), then any four bytes, void or not; whatever else comes
// between is skipped.
class Heard {
public:
    void feed(const unsigned char* p, size_t n)
    {
        for (size_t i = 0; i < n; ++i) {
            if (dataLeft_ > 0 && --dataLeft_ == 0)
                ++messages_;
            else if (dataLeft_ == 0 && p[i] >= 0xF0)
                dataLeft_ = 4;
        }
    }
    size_t messages() const { return messages_; }

private:
    int dataLeft_ = 0;
    size_t messages_ = 0;
};
