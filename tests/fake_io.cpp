#include "tests/fake_io.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/win.h"

namespace fake {
Line line;
}

using fake::line;

namespace {

// How many of `most` bytes the line moves now: all of them, or on a call that
// runs out of time what its driver moves then. *ok and *done are what the
// call says.
size_t moving(size_t most, BOOL* ok, LPDWORD done)
{
    const bool late = line.timeOuts > 0 && line.timeOuts-- > 0;
    const size_t n = !late ? most
                   : line.driver == fake::Driver::SerialSys ? 0
                   : line.driver == fake::Driver::Ftdi     ? most / 2
                                                          : most;
    *ok = !(late && line.driver == fake::Driver::UsbSer);
    *done = *ok ? static_cast<DWORD>(n) : 0;
    return n;
}

// The device's answers to what has been written so far arrive.
void deliver()
{
    while (!line.answers.empty() && line.output.size() >= line.answers.front().first) {
        line.input += line.answers.front().second;
        line.answers.erase(line.answers.begin());
    }
}

} // namespace

BOOL ReadFile(HANDLE, void* data, DWORD count, LPDWORD done, LPOVERLAPPED)
{
    ++line.readCalls;
    *done = 0;
    deliver();
    if (line.readPos >= line.failReadAt)
        return FALSE;
    if (line.readPos >= line.input.size() && line.timeOuts == 0)
        throw fake::Starved{};
    const size_t most = line.cuts.empty() ? line.maxRead
                        : 1 + static_cast<unsigned char>(line.cuts[(line.readCalls - 1) % line.cuts.size()]) % 8;
    BOOL ok;
    const size_t n = moving(std::min({static_cast<size_t>(count), most, line.input.size() - line.readPos,
                                      line.failReadAt - line.readPos}), &ok, done);
    memcpy(data, line.input.data() + line.readPos, n);
    line.taken.append(line.input, line.readPos, n);
    line.readPos += n;
    return ok;
}

BOOL WriteFile(HANDLE, const void* data, DWORD count, LPDWORD done, LPOVERLAPPED)
{
    ++line.writeCalls;
    *done = 0;
    if (line.output.size() >= line.failWriteAt)
        return FALSE;
    BOOL ok;
    const size_t n = moving(std::min({static_cast<size_t>(count), line.maxWrite,
                                      line.failWriteAt - line.output.size()}), &ok, done);
    line.output.append(static_cast<const char*>(data), n);
    line.queued += line.queues ? n : 0;
    return ok;
}

// Counted, not slept: the tests look at the pauses the code asks for. A
// pause of no time is none.
void Sleep(DWORD milliseconds)
{
    line.pauses += milliseconds > 0;
    line.slept += milliseconds;
    line.queued -= std::min(line.queued, line.sendsPerMs * milliseconds);
    if (line.slept > 3600 * 1000)
        throw fake::Hung{};
}

// Says so on standard output, so a run's transcript shows where and how
// often the port was closed.
BOOL CloseHandle(HANDLE)
{
    printf("[closed]");
    line.lostAtClose += line.queued;
    line.queued = 0;
    return TRUE;
}

BOOL ClearCommError(HANDLE, LPDWORD errors, LPCOMSTAT stat)
{
    ++line.clearCalls;
    *errors = 0;
    stat->cbOutQue = static_cast<DWORD>(line.queued);
    return !line.gone;
}

// Drops what has arrived and is unread; the device's answers to what is not
// yet written are still to come.
BOOL PurgeComm(HANDLE, DWORD flags)
{
    deliver();
    if (flags & PURGE_RXCLEAR)
        line.readPos = line.input.size();
    return TRUE;
}

// Returns once the queue is sent: never, on a line that sends nothing.
BOOL FlushFileBuffers(HANDLE)
{
    if (line.queued > 0 && line.sendsPerMs == 0)
        throw fake::Hung{};
    line.queued = 0;
    return TRUE;
}

// The console: a handle of its own; the key waited for says so.
HANDLE CreateFileA(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE)
{
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(99));
}

BOOL FlushConsoleInputBuffer(HANDLE)
{
    return TRUE;
}

int _getch()
{
    printf("[key]");
    return -1;
}
