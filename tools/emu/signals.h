// SIGTERM and SIGINT. At first they end the emulator at once, with status
// 1. Once deferred they only wake whoever waits on the returned descriptor,
// so that the device can still say its verdict (which a signal handler must
// not print).
#pragma once

void catchSignals();
int deferSignals();
