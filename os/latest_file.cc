// The newest file of a kind in a folder, and the leading word of a short file.
#include <dirent.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include "osspecific.h"

enum { LATEST_PATH_SIZE = 512, LATEST_NAME_SIZE = 128, DEVICE_READ_MAX = 32 };

static int endsWith(const char *name, const char *suffix)
{
    size_t nameLength = strlen(name);
    size_t suffixLength = strlen(suffix);
    return nameLength >= suffixLength &&
           memcmp(name + nameLength - suffixLength, suffix, suffixLength) == 0;
}

char *findLatestFile(const char *directory, const char *suffix)
{
    char path[LATEST_PATH_SIZE];
    char bestName[LATEST_NAME_SIZE];
    size_t dirLength = strlen(directory);
    // No entry could be joined to a directory text that fills the buffer.
    if (dirLength >= sizeof path)
        return NULL;
    memcpy(path, directory, dirLength + 1);
    if (!dirExists(directory))
        return NULL;
    DIR *stream = opendir(directory);
    if (stream == NULL)
        return NULL;

    time_t bestTime = 0;
    struct dirent *entry;
    while ((entry = readdir(stream)) != NULL) {
        if (!endsWith(entry->d_name, suffix))
            continue;
        size_t nameLength = strlen(entry->d_name);
        // Entries beyond the path or name limits are passed over, never cut.
        if (dirLength + nameLength >= sizeof path)
            continue;
        memcpy(path + dirLength, entry->d_name, nameLength + 1);
        struct stat st;
        if (stat(path, &st) != 0)
            continue;
        if ((st.st_mode & S_IFMT) == S_IFDIR)
            continue;
        // Strictly newer: of two files in the same second the first met wins,
        // and nothing at or before the epoch is ever chosen.
        if (st.st_mtime > bestTime) {
            if (nameLength >= sizeof bestName)
                continue;
            memcpy(bestName, entry->d_name, nameLength + 1);
            bestTime = st.st_mtime;
        }
    }
    closedir(stream);

    if (bestTime == 0)
        return NULL;
    size_t bestLength = strlen(bestName);
    char *result = (char *)malloc(dirLength + bestLength + 1);
    if (result == NULL)
        return NULL;
    memcpy(result, directory, dirLength);
    memcpy(result + dirLength, bestName, bestLength + 1);
    return result;
}

int readDevice(char *buffer, const char *path)
{
    int fd = fd_open(path);
    // Descriptor 0 is an ordinary file here when standard input was closed.
    if (fd < 0)
        return 0;
    int n = fd_read(fd, buffer, DEVICE_READ_MAX);
    if (n > 0) {
        int end = 0;
        while (end < n && buffer[end] != ' ' && buffer[end] != '\t')
            end++;
        buffer[end] = '\0';
    }
    fd_close(fd);
    return n > 0 ? 1 : 0;
}
