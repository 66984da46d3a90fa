/* newest: a small diagnostic tool built on Trell's OS-services library.
 * It names the newest file of a kind in a folder and shows its first word,
 * e.g. the newest log of a service; given a URL, it sends that file there
 * too, with a checksum file beside it:
 *
 *   newest FOLDER SUFFIX [URL]  (newest /var/log/myservice .log
 *                                       https://support.example.com/in/)
 *
 * Exit status: 0 found (and sent), 1 no such file (or the upload failed),
 * 2 bad usage. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <trell/osspecific.h>

int main(int argc, char **argv)
{
    if (argc != 3 && argc != 4) {
        fprintf(stderr, "usage: newest FOLDER SUFFIX [URL]\n");
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
    fflush(stdout);
    int status = 0;
    if (argc == 4) {
        /* Verified TLS, retries and NAME.sha256; uploadFile tells what failed. */
        UploadOptions options = UPLOAD_OPTIONS_DEFAULT;
        options.checksum = 1;
        status = uploadFile(argv[3], path, &options) == 0 ? 0 : 1;
    }
    free(path);
    return status;
}
