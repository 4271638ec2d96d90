// Tests over the line in memory: each starts with a fresh line on COM2 whose
// loss ends the run as the updater's own does.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "app/end.h"
#include "app/start.h"
#include "link/serial.h"
#include "tests/fake_io.h"

// Bytes as the line carries them.
inline std::string bytes(std::initializer_list<int> values)
{
    std::string s;
    for (int v : values)
        s.push_back(static_cast<char>(v));
    return s;
}

class LineTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake::line = fake::Line{};
        hCom = reinterpret_cast<HANDLE>(static_cast<intptr_t>(7));
        strcpy(COMPORT, "COM2");
        onLineLost = lostConnection;
    }
};
