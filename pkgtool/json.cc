#include "json.h"

#include <cstdio>

namespace pkgtool {

static bool isUtf8(const std::string &text)
{
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        size_t more;
        uint32_t min;
        if (c < 0x80) {
            i++;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            more = 1;
            min = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            more = 2;
            min = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            more = 3;
            min = 0x10000;
        } else {
            return false;
        }
        if (i + more >= text.size())
            return false;
        uint32_t code = c & (0x3F >> more);
        for (size_t k = 1; k <= more; k++) {
            const unsigned char n = static_cast<unsigned char>(text[i + k]);
            if ((n & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (n & 0x3F);
        }
        if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        i += more + 1;
    }
    return true;
}

std::string jsonString(const std::string &text)
{
    const bool utf8 = isUtf8(text);
    std::string out = "\"";
    for (const char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        char esc[8];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F || (c >= 0x80 && !utf8)) {
            std::snprintf(esc, sizeof esc, "\\u%04X", c);
            out += esc;
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

std::string packageJson(const std::string &path, const Package &pkg,
                        const std::vector<std::string> &problems,
                        const std::vector<std::pair<std::string, std::string>> &members)
{
    static const char *const names[PKG_ELEMENT_COUNT] = {"launcher", "unzip utility",
                                                         "global info", "command table", "image"};
    std::string j = "{\n";
    j += "  \"file\": " + jsonString(path) + ",\n";
    j += "  \"file_size\": " + std::to_string(pkg.fileSize) + ",\n";
    j += std::string("  \"valid\": ") + (problems.empty() ? "true" : "false") + ",\n";
    if (pkg.located) {
        j += "  \"directory_offset\": " + std::to_string(pkg.fileSize - PKG_TRAILER_SIZE) + ",\n";
        j += "  \"elements\": [\n";
        for (int i = 0; i < PKG_ELEMENT_COUNT; i++)
            j += "    {\"index\": " + std::to_string(i) + ", \"name\": " + jsonString(names[i]) +
                 ", \"offset\": " + std::to_string(pkg.offset(i)) +
                 ", \"size\": " + std::to_string(pkg.sizes[i]) + "}" +
                 (i + 1 < PKG_ELEMENT_COUNT ? ",\n" : "\n");
        j += "  ],\n";
        j += "  \"first_image_size\": " + std::to_string(pkg.firstImageSize) + ",\n";
        j += "  \"second_image_size\": " + std::to_string(pkg.secondImageSize) + ",\n";
        j += std::string("  \"image_pair\": ") + (pkg.isImagePair() ? "true" : "false") + ",\n";
        j += "  \"record_count\": " + std::to_string(pkg.recordCount) + ",\n";
        j += "  \"strict\": " + std::to_string(pkg.strict) + ",\n";
        j += "  \"records\": [";
        for (size_t i = 0; i < pkg.records.size(); i++) {
            const Record &r = pkg.records[i];
            j += std::string(i == 0 ? "\n" : ",\n") + "    {\"distribution\": " +
                 std::to_string(r.distribution) +
                 ", \"distribution_name\": " + jsonString(pkgDistributionName(r.distribution)) +
                 ", \"release\": " + std::to_string(r.release) +
                 ", \"architecture\": " + std::to_string(r.architecture) +
                 ", \"architecture_name\": " + jsonString(pkgArchitectureName(r.architecture)) +
                 ", \"mode\": " + std::to_string(r.mode) +
                 ", \"command\": " + jsonString(r.command) +
                 ", \"arguments\": " + jsonString(r.arguments) + "}";
        }
        j += pkg.records.empty() ? "],\n" : "\n  ],\n";
    }
    for (const auto &m : members)
        j += "  " + jsonString(m.first) + ": " + m.second + ",\n";
    j += "  \"problems\": [";
    for (size_t i = 0; i < problems.size(); i++)
        j += std::string(i == 0 ? "\n    " : ",\n    ") + jsonString(problems[i]);
    j += problems.empty() ? "]\n" : "\n  ]\n";
    return j + "}\n";
}

} // namespace pkgtool
