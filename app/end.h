// The end every run reaches, finished or failed, on the front end's side.
#pragma once

// Closes the port if it is open, asks for a key and waits for one pressed
// after the question; returns status for the caller to exit with.
int endRun(int status);

// The run's end on a lost line: says so and exits with endRun's -1. The
// front end installs it as the link layer's onLineLost.
[[noreturn]] void lostConnection();
