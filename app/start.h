// The front end's start-up: the program's own name and the choice of port.
#pragma once

// The updater's own version, shown in the banner. The build defines
// TRELVANE_VERSION from project() in CMakeLists.txt, the version's one home.
const double UPDATER_VERSION = TRELVANE_VERSION;

extern const char* progname;  // the program's file name, without directories
extern char COMPORT[5];       // "COM" and the port character
extern char linebuf[81];      // the answer to the port prompt

// Points progname at the text after the last '/' or '\' of path.
void setProgname(const char* path);

// Sets the port character from a first argument -1 to -9, or else shows
// the image's version and asks for the port on standard input.
void choosePort(int argc, char** argv);
