// The front end's start-up: the program's own name and the choice of port.
#pragma once

// The updater's own version, shown in the banner. The build defines
// TRELVANE_VERSION from project() in CMakeLists.txt, the version's one home.
const double UPDATER_VERSION = TRELVANE_VERSION;

extern const char* progname;  // the program's file name, without directories
extern char COMPORT[5];       // "COM" and the port character
extern char linebuf[81];      // the answer to the port prompt
extern char portpath[260];    // the name of the port opened for COMPORT

// Points progname at the text after the last '/' or '\' of path.
void setProgname(const char* path);

// Sets the port character from a first argument -1 to -9, or else shows
// the image's version and asks for the port on standard input.
void choosePort(int argc, char** argv);

// The name to open for COMPORT: the environment variable TRELVANE_<COMPORT>
// where it is set (a bench's COM17, a Linux device), else COMPORT itself.
// A COM name gets Windows' device prefix \\.\, which COM10 and above need; any
// other name is used as it is. nullptr for a name too long to open.
const char* portName();
