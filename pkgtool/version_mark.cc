#include "version_mark.h"

#include <cstring>

#include "../common/pkglayout.h"
#include "trell_version.h"

namespace pkgtool {

const char *versionMarkOf(int element)
{
    if (element == PKG_ELEM_LAUNCHER)
        return TRELL_LAUNCHER_VERSION_MARK;
    if (element == PKG_ELEM_UNZIP)
        return TRELL_UNZIP_VERSION_MARK;
    return nullptr;
}

std::string findVersion(const unsigned char *data, size_t size, const char *mark)
{
    const size_t markSize = std::strlen(mark);
    const unsigned char *end = data + size;
    const unsigned char *p = data;
    while (markSize > 0 && static_cast<size_t>(end - p) >= markSize) {
        const void *hit = memmem(p, static_cast<size_t>(end - p), mark, markSize);
        if (hit == nullptr)
            break;
        const unsigned char *text = static_cast<const unsigned char *>(hit) + markSize;
        size_t n = 0;
        while (text + n < end && n <= VERSION_TEXT_MAX && text[n] > 0x20 && text[n] < 0x7F)
            n++;
        if (n >= 1 && n <= VERSION_TEXT_MAX && text + n < end && text[n] == '\0')
            return std::string(reinterpret_cast<const char *>(text), n);
        p = static_cast<const unsigned char *>(hit) + 1;
    }
    return "";
}

} // namespace pkgtool
