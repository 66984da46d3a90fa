// Runs one upload, ftp_probe PATH, and checks that it left nothing behind.
// Standard error carries ftpFile's own messages only; the probe's findings go
// to standard output.  Exit status: 0 upload done, 1 upload failed (-1),
// 2 any other result, 3 a descriptor, 4 a stream, 5 the library left open.
#include <dirent.h>
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

#include "os/osspecific.h"

static int countDescriptors()
{
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return -1;
    int n = 0;
    while (readdir(dir) != nullptr)
        n++;
    closedir(dir);
    return n;
}

// Counts glibc's list of open streams.  The list head is taken from libc
// itself: the executable's copy of the variable is not the one libc updates.
static int countStreams()
{
    void *libc = dlopen("libc.so.6", RTLD_LAZY | RTLD_NOLOAD);
    FILE **list = libc != nullptr ? (FILE **)dlsym(libc, "_IO_list_all") : nullptr;
    if (libc != nullptr)
        dlclose(libc);
    if (list == nullptr)
        return -1;
    int n = 0;
    for (FILE *f = *list; f != nullptr; f = f->_chain)
        n++;
    return n;
}

static bool libcurlMapped()
{
    FILE *maps = fopen("/proc/self/maps", "r");
    if (maps == nullptr)
        return true;
    char line[4096];
    bool found = false;
    while (fgets(line, sizeof line, maps) != nullptr)
        if (strstr(line, "libcurl") != nullptr)
            found = true;
    fclose(maps);
    return found;
}

int main(int argc, char **argv)
{
    if (argc != 2) {
        printf("usage: ftp_probe PATH\n");
        return 64;
    }
    int descriptors = countDescriptors();
    int streams = countStreams();
    if (descriptors < 0 || streams < 0 || libcurlMapped()) {
        printf("probe: cannot take the starting state\n");
        return 65;
    }

    int result = ftpFile(argv[1]);

    if (countDescriptors() != descriptors) {
        printf("probe: a descriptor was left open\n");
        return 3;
    }
    if (countStreams() != streams) {
        printf("probe: a stream was left open\n");
        return 4;
    }
    if (libcurlMapped()) {
        printf("probe: the library was left loaded\n");
        return 5;
    }
    printf("probe: ftpFile returned %d\n", result);
    return result == 0 ? 0 : result == -1 ? 1 : 2;
}
