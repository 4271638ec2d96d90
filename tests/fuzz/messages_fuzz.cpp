// libFuzzer target for the device message receiver: any byte stream, read in
// pieces of random size, must give only well-formed or void messages and
// never touch memory outside the buffers.
#include <cstddef>
#include <cstdint>

#include "tests/receiver_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    // The first byte says how many of the following bytes describe how the
    // reads are cut; the rest is what the device sends.
    size_t ncuts = data[0] % 16;
    if (size < 1 + ncuts)
        return 0;
    fake::line = fake::Line{};
    fake::line.cuts.assign(reinterpret_cast<const char*>(data + 1), ncuts);
    fake::line.input.assign(reinterpret_cast<const char*>(data + 1 + ncuts), size - 1 - ncuts);
    if (!receiverKeepsItsPromise())
        __builtin_trap();
    return 0;
}
