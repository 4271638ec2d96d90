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

// Whether this call times out (moves nothing, succeeds), using up a quiet call.
bool quiet()
{
    return line.quietCalls > 0 && line.quietCalls-- > 0;
}

BOOL failWith(DWORD error)
{
    line.error = error;
    return FALSE;
}

// After a call has moved its bytes: the first timedOutCalls fail all the same.
BOOL movedInTime()
{
    return line.timedOutCalls > 0 && line.timedOutCalls-- > 0 ? failWith(ERROR_SEM_TIMEOUT) : TRUE;
}

} // namespace

DWORD GetLastError()
{
    return line.error;
}

BOOL ReadFile(HANDLE, void* data, DWORD count, LPDWORD done, LPOVERLAPPED)
{
    ++line.readCalls;
    *done = 0;
    if (quiet())
        return TRUE;
    if (line.readPos >= line.failReadAt)
        return failWith(ERROR_GEN_FAILURE);
    if (line.readPos >= line.input.size())
        throw fake::Starved{};
    const size_t most = line.cuts.empty() ? line.maxRead
                        : 1 + static_cast<unsigned char>(line.cuts[(line.readCalls - 1) % line.cuts.size()]) % 8;
    size_t n = std::min({static_cast<size_t>(count), most, line.input.size() - line.readPos,
                         line.failReadAt - line.readPos});
    memcpy(data, line.input.data() + line.readPos, n);
    line.readPos += n;
    *done = static_cast<DWORD>(n);
    return movedInTime();
}

BOOL WriteFile(HANDLE, const void* data, DWORD count, LPDWORD done, LPOVERLAPPED)
{
    ++line.writeCalls;
    *done = 0;
    if (quiet())
        return TRUE;
    if (line.output.size() >= line.failWriteAt)
        return failWith(ERROR_GEN_FAILURE);
    size_t n = std::min({static_cast<size_t>(count), line.maxWrite, line.failWriteAt - line.output.size()});
    line.output.append(static_cast<const char*>(data), n);
    *done = static_cast<DWORD>(n);
    return movedInTime();
}

// Counted, not slept: the tests look at the pauses the code asks for. A
// pause of no time is none.
void Sleep(DWORD milliseconds)
{
    line.pauses += milliseconds > 0;
}

// Says so on standard output, so a run's transcript shows where and how
// often the port was closed.
BOOL CloseHandle(HANDLE)
{
    printf("[closed]");
    return TRUE;
}

BOOL ClearCommError(HANDLE, LPDWORD errors, LPCOMSTAT)
{
    ++line.clearCalls;
    *errors = 0;
    return !line.gone;
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
