// Image-pair selection: of two images packed back to back, the one for the
// host's architecture becomes element 4.
#include <stdio.h>

#include "../os/osspecific.h"
#include "installer.h"

int selectImage(int32_t *directory)
{
    int32_t first = directory[PKG_DIR_FIRST_IMAGE_ENTRY];
    int32_t second = directory[PKG_DIR_SECOND_IMAGE_ENTRY];
    if (!pkgIsImagePair(directory[PKG_ELEM_IMAGE], first, second))
        return 0;
    PfmInfo host;
    (void)getPfmInfo(&host); // only the architecture counts here
    if (host.architecture == PKG_ARCH_X86) {
        whichImg = 0;
        directory[PKG_ELEM_IMAGE] = first;
    } else if (host.architecture == PKG_ARCH_X86_64) {
        whichImg = 1;
        directory[PKG_ELEM_IMAGE] = second;
    } else {
        fputs("Failed determining platform architecture!\n", stderr);
        return -1;
    }
    return 0;
}
