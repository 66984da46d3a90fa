#include "version_mark.h"

#include <cstring>

#include "../common/pkglayout.h"
#include "trell_version.h"

namespace pkgtool {

namespace {

// The text after the first occurrence of mark that is followed by 1 to max
// printable ASCII characters (blanks among them when blanks is set) and a
// NUL, and that parse accepts.  Result: whether there is one.
template <typename Parse>
bool findMarked(const unsigned char *data, size_t size, const char *mark, size_t max,
                bool blanks, Parse parse)
{
    const size_t markSize = std::strlen(mark);
    const unsigned char *end = data + size;
    const unsigned char *p = data;
    const unsigned char lowest = blanks ? 0x20 : 0x21;
    while (markSize > 0 && static_cast<size_t>(end - p) >= markSize) {
        const void *hit = memmem(p, static_cast<size_t>(end - p), mark, markSize);
        if (hit == nullptr)
            break;
        const unsigned char *text = static_cast<const unsigned char *>(hit) + markSize;
        size_t n = 0;
        while (text + n < end && n <= max && text[n] >= lowest && text[n] < 0x7F)
            n++;
        if (n >= 1 && n <= max && text + n < end && text[n] == '\0' &&
            parse(std::string(reinterpret_cast<const char *>(text), n)))
            return true;
        p = static_cast<const unsigned char *>(hit) + 1;
    }
    return false;
}

// text split at each sep.
std::vector<std::string> split(const std::string &text, char sep)
{
    std::vector<std::string> out;
    size_t at = 0;
    for (size_t next; (next = text.find(sep, at)) != std::string::npos; at = next + 1)
        out.push_back(text.substr(at, next - at));
    out.push_back(text.substr(at));
    return out;
}

// One entry of the list: five fields, one blank apart; "-" for one unknown,
// but a name is always known.  Result: whether it is one.
bool parseLibrary(const std::string &entry, StubLibrary &out)
{
    std::vector<std::string> f = split(entry, ' ');
    if (f.size() != 5 || f[0] == "-")
        return false;
    for (std::string &field : f) {
        if (field.empty())
            return false;
        if (field == "-")
            field.clear();
    }
    out = StubLibrary{f[0], f[1], f[2], f[3], f[4]};
    return true;
}

} // namespace

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
    std::string version;
    findMarked(data, size, mark, VERSION_TEXT_MAX, false, [&](const std::string &text) {
        version = text;
        return true;
    });
    return version;
}

bool findLibraries(const unsigned char *data, size_t size, std::vector<StubLibrary> &libraries)
{
    const bool found = findMarked(data, size, TRELL_LIBRARIES_MARK, LIBRARIES_TEXT_MAX, true,
                      [&](const std::string &text) {
                          libraries.clear();
                          for (const std::string &entry : split(text, ';')) {
                              StubLibrary library;
                              if (!parseLibrary(entry, library))
                                  return false;
                              libraries.push_back(library);
                          }
                          return true;
                      });
    if (!found)
        libraries.clear();
    return found;
}

} // namespace pkgtool
