// trell-run: runs a package with the installed launcher's code.  It reads
// the package's elements 1 to 4 and never runs its element 0, so the checks
// (the host's trust store, the package record's checksums) are the
// installed ones, which no package can change.
//
//   trell-run PACKAGE [ARGUMENTS...]    as PACKAGE [ARGUMENTS...] would run
//
// Exit status: the same as the package run directly (the tool's own, 1 for a
// failure of the run, 255 when an extract folder cannot be made), 2 for a
// usage error.
#include <stdio.h>
#include <string.h>

#include "../launcher/installer.h"
#include "trell_version.h"

static const char usage[] =
    "usage: trell-run PACKAGE [ARGUMENTS...]\n"
    "Runs PACKAGE as it would run itself (its tool with ARGUMENTS, or --extract\n"
    "FOLDER), with this installation's launcher: the host's trust store\n"
    "(" TRUST_STORE ") and every check of the package are this program's,\n"
    "and the package's own launcher is never run.\n"
    "Exit status: the tool's, or as the package's own (1 a failure of the run,\n"
    "255 an extract folder that cannot be made); 2 bad usage.\n";

int main(int argc, char **argv)
{
    int first = 1;
    if (argc > 1 && strcmp(argv[1], "--help") == 0) {
        fputs(usage, stdout);
        return 0;
    }
    if (argc > 1 && strcmp(argv[1], "--version") == 0) {
        printf("trell-run %s\n", TRELL_VERSION);
        return 0;
    }
    if (argc > 1 && strcmp(argv[1], "--") == 0)
        first = 2;
    if (argc <= first || argv[first][0] == '\0') {
        fprintf(stderr, "trell-run: no package given\n%s", usage);
        return 2;
    }
    // The package stands where the launcher's own name would: what follows
    // it is the tool's, as for the package run directly.
    return runPackage(argv[first], argc - first, argv + first);
}
