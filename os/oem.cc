// Default support-log folder and the OEM check behind it.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "osspecific.h"

int checkForOEM(void)
{
    // The exit status says nothing useful: a missing folder still leaves an
    // empty listing, and an unwritable one leaves the earlier listing, which
    // then decides.
    (void)system("ls /tmp/embed/docs > /trell/oemCheck");

    FILE *listing = fopen("/trell/oemCheck", "r");
    if (listing == NULL)
        return 1;
    long length = -1;
    if (fseek(listing, 0, SEEK_END) == 0)
        length = ftell(listing);
    if (length < 0 || fseek(listing, 0, SEEK_SET) != 0) {
        fclose(listing);
        return 1;
    }
    char *content = (char *)malloc((size_t)length + 1);
    if (content == NULL) {
        fclose(listing);
        return 1;
    }
    size_t got = fread(content, 1, (size_t)length, listing);
    content[got] = '\0';
    // ls writes one name per line, so a match never spans two names.
    int found = strstr(content, "oem") != NULL;
    fclose(listing);
    free(content);
    return found ? 0 : 1;
}

const char *getDefaultOutputDir(void)
{
    return checkForOEM() == 1 ? "/var/log/ZORVAN_Support/" : "/var/log/OEM_Support/";
}
