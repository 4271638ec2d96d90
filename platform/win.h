// The one place that decides where the Windows interfaces come from: the real
// headers on Windows, our own small layer with the same names elsewhere.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <conio.h>
#else
#include "platform/posix/winlayer.h"
#endif
