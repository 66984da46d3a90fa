/* newest: a small diagnostic tool built on Trell's OS-services library.
 * It names the newest file of a kind in a folder and shows its first word,
 * e.g. the newest log of a service:
 *
 *   newest FOLDER SUFFIX        (newest /var/log/myservice .log)
 *
 * Exit status: 0 found, 1 no such file, 2 bad usage. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <trell/osspecific.h>

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: newest FOLDER SUFFIX\n");
        return 2;
    }
    /* findLatestFile joins names to the folder as given: end it in a
     * separator. */
    char folder[4096];
    const size_t n = strlen(argv[1]);
    const int sep = n > 0 && argv[1][n - 1] == FILE_SEPARATOR;
    const int w = snprintf(folder, sizeof folder, "%s%s", argv[1], sep ? "" : "/");
    if (w < 0 || (size_t)w >= sizeof folder) {
        fprintf(stderr, "newest: the folder name is too long\n");
        return 2;
    }
    char *path = findLatestFile(folder, argv[2]);
    if (path == NULL) {
        printf("no file ending in %s in %s\n", argv[2], folder);
        return 1;
    }
    char word[33] = "";
    const int read = readDevice(word, path);
    printf("newest: %s\nfirst word: %s\n", path, read ? word : "(none)");
    free(path);
    return 0;
}
