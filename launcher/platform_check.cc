// Platform check: chooses the command record that fits the host, or warns
// about a mismatch and then refuses (strict package) or takes the first.
#include <stdio.h>
#include <stdlib.h>

#include "../os/osspecific.h"
#include "installer.h"

const unsigned char *platformCheck(int32_t recordCount, int32_t strict,
                                   const unsigned char *table, uint32_t tableSize, PfmInfo *host)
{
    if (tableSize < PKG_RECORD_SIZE)
        return NULL;
    if (getenv("TRELL_PORTABLE_INTERACTIVE") != NULL)
        return table;

    const char *message = getPfmInfo(host);
    if (message != NULL) {
        if (getenv("TRELL_PORTABLE_DEBUG") != NULL)
            fprintf(stderr, "Failed determining platform information: %s\n", message);
    } else {
        if (recordCount < 0)
            return NULL;
        // Never past the table, whatever the count says.
        uint32_t present = tableSize / PKG_RECORD_SIZE;
        uint32_t count = (uint32_t)recordCount < present ? (uint32_t)recordCount : present;
        for (uint32_t i = 0; i < count; i++) {
            const unsigned char *r = table + i * PKG_RECORD_SIZE;
            if (pkgGetI32(r + PKG_REC_ARCH_OFFSET) == host->architecture &&
                pkgGetI32(r + PKG_REC_DIST_OFFSET) == host->distribution &&
                pkgGetI32(r + PKG_REC_RELEASE_OFFSET) == host->release)
                return r;
        }
    }

    fputs("WARNING! This package doesn't appear to match your system.\n", stderr);
    if (strict == 0)
        fputs("         It is likely that it will not properly execute.\n", stderr);
    fputs("         The following information was determined for your system:\n", stderr);
    fputs("\n", stderr);
    fprintf(stderr, "           distribution = %s\n", pkgDistributionName(host->distribution));
    fprintf(stderr, "           release = %d\n", (int)host->release);
    fprintf(stderr, "           processor architecture = %s\n",
            pkgArchitectureName(host->architecture));
    fputs("\n", stderr);
    if (strict != 0)
        return NULL;
    sleepSec(5);
    return table;
}
