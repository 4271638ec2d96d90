// The device's end of the serial line: the master side of a pseudo-terminal
// whose slave side the updater opens (by whatever name the caller gives it),
// or an existing serial port (--port) whose far end the updater holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

enum class Got { Data, Timeout, Closed };
enum class Wake { Ready, Timeout, Woken };

class Line {
public:
    // baud: take bytes in no faster than a line of that speed (0: as they
    // come). port: a serial port to use instead of a pseudo-terminal, or "".
    Line(uint64_t baud, const std::string& port);
    ~Line() { close(); }

    bool open();  // makes the pseudo-terminal or opens the port: "device at /dev/pts/N"

    // Blocks until the updater has set the line to 115,200 baud, and says
    // whether the rest of the settings are 8N1 raw.
    void awaitSettings()
    {
        while (!set_)
            wait(0, -1);
    }
    bool settingsSeen() const { return set_; }

    // Takes in up to `want` bytes, waiting until `deadline` (monotonic ns, -1: none).
    Got receive(unsigned char* buf, size_t want, int64_t deadline, size_t& got);

    // Sends all n bytes; false when nobody holds the line.
    bool send(const unsigned char* p, size_t n);

    // Waits until the updater has stopped sending: it has then run into what
    // stops it (a full line or a read), where a hang-up should find it.
    void settle();

    // Keeps the line as it is, reading and sending nothing, until the
    // updater closes it (true) or wakeFd becomes readable (false).
    bool hold(int wakeFd);

    void close();

private:
    // Waits until the master is ready for `events` or hung up (Ready), until
    // `deadline`, or until wakeFd is readable. Until the line settings are
    // seen the settings are looked at instead of the master (Ready once set).
    Wake wait(short events, int64_t deadline, int wakeFd = -1);

    int master_ = -1;  // the port itself with --port
    std::string port_;
    bool set_ = false;

    // --baud: the time the line would have carried the bytes taken so far.
    int64_t byteNs_ = 0;
    size_t piece_ = 0;  // largest single read: about 2 ms of line time
    int64_t carriedNs_ = 0;
};
