// libFuzzer target for the device message receiver: any byte stream, read in
// pieces of random size, must give only well-formed or void messages and
// never touch memory outside the buffers.
#include <cstddef>
#include <cstdint>

#include "link/messages.h"
#include "tests/fake_io.h"

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
    size_t consumed = 0;
    try {
        for (;;) {
            readSwBlock();
            if (fake::line.readPos < consumed + 5 || fake::line.readPos > fake::line.input.size())
                __builtin_trap();  // a message is at least five bytes of the stream, in order
            consumed = fake::line.readPos;
            if (buf[0] != 0) {
                if ((buf[0] & 0xF0) != 0xF0)
                    __builtin_trap();
                for (int i = 1; i < 5; ++i)
                    if (buf[i] & 0x80)
                        __builtin_trap();
            }
        }
    } catch (const fake::Starved&) {
    }
    return 0;
}
