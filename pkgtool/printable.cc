#include "printable.h"

#include <cstdio>

namespace pkgtool {

std::string printableName(const std::string &name)
{
    std::string out;
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7F) {
            char hex[8];
            const int n = std::snprintf(hex, sizeof hex, "\\x%02X", c);
            if (n > 0 && static_cast<size_t>(n) < sizeof hex)
                out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

} // namespace pkgtool
