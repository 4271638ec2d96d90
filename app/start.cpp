#include "app/start.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "image/image.h"
#include "platform/comname.h"

const char* progname = "";
char COMPORT[5] = "COM0";
char linebuf[81];
char portpath[260];  // Windows' longest path, MAX_PATH

void setProgname(const char* path)
{
    progname = path ? path : "";
    for (const char* sep = strchr(progname, '/'); sep; sep = strchr(progname, '/'))
        progname = sep + 1;
    for (const char* sep = strchr(progname, '\\'); sep; sep = strchr(progname, '\\'))
        progname = sep + 1;
}

void choosePort(int argc, char** argv)
{
    strcpy(COMPORT, "COM0");
    if (argc > 1 && argv[1] && argv[1][0] == '-' && argv[1][1] >= '1' && argv[1][1] <= '9')
        COMPORT[3] = argv[1][1];
    if (COMPORT[3] != '0')
        return;

    printf("Installing Trelvane Software v%u.%02u.\n", headerByte(3), headerByte(4));
    printf("What COM port is the Trelvane connected to? ");
    linebuf[0] = '\0';
    if (scanf("%80s", linebuf) == 1 && linebuf[0] != '\0')
        COMPORT[3] = linebuf[0];
    else
        COMPORT[3] = '1';  // no answer at all: the first port
}

const char* portName()
{
    char var[sizeof "TRELVANE_" + sizeof COMPORT];
    snprintf(var, sizeof var, "TRELVANE_%s", COMPORT);
    const char* named = getenv(var);
    if (!named || !*named)
        return COMPORT;
    const int n = snprintf(portpath, sizeof portpath, "%s%s", comNumber(named) ? "\\\\.\\" : "", named);
    return n > 0 && static_cast<size_t>(n) < sizeof portpath ? portpath : nullptr;
}
