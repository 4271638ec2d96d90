// The software push: installs the built-in image on the device.
#pragma once

// Runs the whole exchange on the configured port and returns the exit
// status, -1 on every path.
int swPush();
