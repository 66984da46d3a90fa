#include "package_file.h"

#include "file_checks.h"
#include "../common/pkg_container.h"
#include "printable.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <unistd.h>

namespace pkgtool {

int64_t Package::offset(int index) const
{
    return pkgElementOffset(sizes, index);
}

bool Package::isImagePair() const
{
    return pkgIsImagePair(sizes[PKG_ELEM_IMAGE], firstImageSize, secondImageSize) != 0;
}

static std::string lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

static std::optional<int32_t> smallNumber(const std::string &text, int32_t lo, int32_t hi)
{
    if (text.size() != 1 || !std::isdigit(static_cast<unsigned char>(text[0])))
        return std::nullopt;
    int32_t v = text[0] - '0';
    if (v < lo || v > hi)
        return std::nullopt;
    return v;
}

// --record's words for each distribution code, the first as pkgtool host
// prints it.
static const struct {
    int32_t code;
    const char *words; // each ended by NUL, then one more
} kDistributions[] = {
    {PKG_DIST_WINDOWS, "windows\0"}, {PKG_DIST_SUSE, "suse\0"},
    {PKG_DIST_REDHAT, "redhat\0red-hat\0"}, {PKG_DIST_NOVELL, "novell\0"},
    {PKG_DIST_DEBIAN, "debian\0"}, {PKG_DIST_UBUNTU, "ubuntu\0"}};

std::optional<int32_t> distributionCode(const std::string &text)
{
    const std::string t = lower(text);
    for (const auto &d : kDistributions)
        for (const char *word = d.words; *word != '\0'; word += std::strlen(word) + 1)
            if (t == word)
                return d.code;
    return smallNumber(t, PKG_DIST_WINDOWS, PKG_DIST_MAX);
}

std::string distributionWord(int32_t code)
{
    for (const auto &d : kDistributions)
        if (d.code == code)
            return d.words;
    return "";
}

std::optional<int32_t> architectureCode(const std::string &text)
{
    const std::string t = lower(text);
    for (const TrellArchitecture &a : trellArchitectures)
        for (const char *word = a.records; *word != '\0'; word += std::strlen(word) + 1)
            if (t == word)
                return a.code;
    return smallNumber(t, PKG_ARCH_UNKNOWN + 1, PKG_ARCH_MAX);
}

std::string architectureWord(int32_t code)
{
    const TrellArchitecture *a = pkgArchitecture(code);
    return code != PKG_ARCH_UNKNOWN && a != nullptr ? a->records : "";
}

void encodeRecord(const Record &record, unsigned char *out)
{
    std::memset(out, 0, PKG_RECORD_SIZE);
    pkgPutI32(out + PKG_REC_DIST_OFFSET, record.distribution);
    pkgPutI32(out + PKG_REC_RELEASE_OFFSET, record.release);
    pkgPutI32(out + PKG_REC_ARCH_OFFSET, record.architecture);
    std::memcpy(out + PKG_REC_COMMAND_OFFSET, record.command.data(),
                std::min<size_t>(record.command.size(), PKG_REC_COMMAND_SIZE - 1));
    std::memcpy(out + PKG_REC_ARGS_OFFSET, record.arguments.data(),
                std::min<size_t>(record.arguments.size(), PKG_REC_ARGS_SIZE - 1));
    pkgPutI32(out + PKG_REC_MODE_OFFSET, record.mode);
}

std::string checkRecord(const Record &r)
{
    if (r.distribution < PKG_DIST_WINDOWS || r.distribution > PKG_DIST_MAX)
        return "unknown distribution code " + std::to_string(r.distribution);
    if (r.architecture < PKG_ARCH_X86 || r.architecture > PKG_ARCH_MAX)
        return "unknown architecture code " + std::to_string(r.architecture);
    if (r.command.compare(0, 2, "./") != 0)
        return "command \"" + printableName(r.command) + "\" does not begin with \"./\"";
    if (r.command.size() > PKG_REC_COMMAND_SIZE - 1)
        return "command is " + std::to_string(r.command.size()) + " bytes, at most " +
               std::to_string(PKG_REC_COMMAND_SIZE - 1) + " fit";
    if (r.command.find('\0') != std::string::npos || r.arguments.find('\0') != std::string::npos)
        return "command or arguments hold a NUL byte";
    if (r.arguments.size() > PKG_REC_ARGS_SIZE - 1)
        return "arguments are " + std::to_string(r.arguments.size()) + " bytes, at most " +
               std::to_string(PKG_REC_ARGS_SIZE - 1) + " fit";
    if (r.mode < 0 || r.mode > 2)
        return "argument mode " + std::to_string(r.mode) + " is not 0, 1 or 2";
    return "";
}

static Record decodeRecord(const unsigned char *p, std::vector<std::string> &problems, int number)
{
    PkgRecordView v;
    pkgDecodeRecord(p, &v);
    Record r;
    r.distribution = v.distribution;
    r.release = v.release;
    r.architecture = v.architecture;
    r.mode = v.mode;
    auto text = [&](const char *s, int size, const char *what) {
        const void *end = std::memchr(s, '\0', size);
        if (end == nullptr) {
            problems.push_back("record " + std::to_string(number) + ": " + what +
                               " is not NUL-terminated within " + std::to_string(size) +
                               " bytes");
            // What fits before the last byte; the fault is reported once, above.
            return std::string(s, size - 1);
        }
        return std::string(s, static_cast<const char *>(end) - s);
    };
    r.command = text(v.command, PKG_REC_COMMAND_SIZE, "command");
    r.arguments = text(v.arguments, PKG_REC_ARGS_SIZE, "arguments");
    return r;
}

// Reads count bytes at offset of fd whole.  Result: true, or false.
static bool readAt(int fd, unsigned char *out, size_t count, int64_t offset)
{
    for (size_t done = 0; done < count;) {
        const ssize_t n = pread(fd, out + done, count - done, static_cast<off_t>(offset + done));
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// The container as the one reader finds it (pkg_container.h), in pkgtool's
// words: every decision is the reader's, the explanations pkgtool's.
// Result: false when the elements cannot be found.
static bool readContainer(int fd, Package &pkg, std::vector<std::string> &problems)
{
    PkgContainer c;
    const int problem = pkgReadContainer(fd, &c);
    pkg.fileSize = c.fileSize;
    pkg.signedSize = c.signedSize;
    pkg.signatureSize = c.signatureSize;
    if (problem == PKG_CONTAINER_TOO_SHORT) {
        problems.push_back("not a package: the file holds " + std::to_string(c.fileSize) +
                           " bytes, fewer than the " + std::to_string(PKG_TRAILER_SIZE) +
                           " of a package directory and end marker");
        return false;
    }
    if (problem == PKG_CONTAINER_READ_FAILED) {
        problems.push_back("cannot read the package directory");
        return false;
    }
    // The end marker, which the launcher does not read, is pkgtool's first
    // question: a file without one is no package at all.
    if (c.endMarker != PKG_END_MARKER) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "0x%02X", c.endMarker);
        problems.push_back(std::string("not a package: the last byte is ") + hex +
                           ", not the end marker 0xFF");
        return false;
    }
    // Only behind an end marker is there a directory to speak of.
    std::memcpy(pkg.directory, c.directory, PKG_DIR_SIZE);
    for (int i = 0; i < PKG_ELEMENT_COUNT; i++)
        pkg.sizes[i] = c.entries[i];
    pkg.firstImageSize = c.entries[PKG_DIR_FIRST_IMAGE_ENTRY];
    pkg.secondImageSize = c.entries[PKG_DIR_SECOND_IMAGE_ENTRY];
    pkg.located = c.located != 0;
    if (problem == PKG_CONTAINER_BAD_ALIGNMENT)
        problems.push_back("the bytes between the end marker and the signature block are not "
                           "the zeros that signing writes: the launcher refuses the package");
    if (problem == PKG_CONTAINER_BAD_SIGNATURE)
        problems.push_back("the signature block is damaged");
    bool negative = false;
    for (int i = 0; i < PKG_ELEMENT_COUNT; i++) {
        if (pkg.sizes[i] >= 0)
            continue;
        negative = true;
        problems.push_back("element " + std::to_string(i) + "'s size " +
                           std::to_string(static_cast<uint32_t>(pkg.sizes[i])) +
                           " is at or over 2^31");
    }
    if (negative)
        return false;
    if (!pkg.located) {
        if (c.sizeSum > PKG_MAX_OFFSET)
            problems.push_back("the element sizes add up to " + std::to_string(c.sizeSum) +
                               ", at or over 2^31");
        if (static_cast<uint64_t>(c.sizeSum) + PKG_TRAILER_SIZE != c.signedSize)
            problems.push_back("the element sizes add up to " + std::to_string(c.sizeSum) +
                               " bytes, but the file holds " +
                               std::to_string(c.signedSize - PKG_TRAILER_SIZE) +
                               " bytes before the directory");
        return false;
    }
    // The launcher refuses a negative image size outright.
    for (const auto &[which, size] : {std::pair<const char *, int32_t>{"first", pkg.firstImageSize},
                                      {"second", pkg.secondImageSize}})
        if (size < 0)
            problems.push_back(std::string("the ") + which + " image size " +
                               std::to_string(size) + " is negative: the launcher refuses " +
                               "the package");
    return true;
}

bool readPackage(const std::string &path, Package &pkg, std::vector<std::string> &problems)
{
    const std::string notRegular = notRegularFile(path);
    if (!notRegular.empty()) {
        problems.push_back("cannot open " + notRegular);
        return false;
    }
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        problems.push_back("cannot open " + path + ": " + std::strerror(errno));
        return false;
    }
    const bool located = readContainer(fd, pkg, problems);
    if (!located || pkg.sizes[PKG_ELEM_GLOBAL_INFO] != PKG_GLOBAL_INFO_SIZE) {
        if (located)
            problems.push_back("the global info is " +
                               std::to_string(pkg.sizes[PKG_ELEM_GLOBAL_INFO]) + " bytes, not " +
                               std::to_string(PKG_GLOBAL_INFO_SIZE));
        close(fd);
        return false;
    }
    unsigned char info[PKG_GLOBAL_INFO_SIZE];
    const int32_t tableSize = pkg.sizes[PKG_ELEM_COMMANDS];
    std::vector<unsigned char> table(static_cast<size_t>(tableSize));
    const bool infoRead = readAt(fd, info, sizeof info, pkg.offset(PKG_ELEM_GLOBAL_INFO));
    const bool tableRead = readAt(fd, table.data(), table.size(), pkg.offset(PKG_ELEM_COMMANDS));
    close(fd);
    if (!infoRead) {
        problems.push_back("cannot read the global info");
        return false;
    }
    pkgDecodeGlobalInfo(info, &pkg.recordCount, &pkg.strict);
    const int32_t present = tableSize / PKG_RECORD_SIZE;
    if (pkg.recordCount < 0)
        problems.push_back("the record count is negative (" + std::to_string(pkg.recordCount) + ")");
    else if (pkg.recordCount > present)
        problems.push_back("the record count is " + std::to_string(pkg.recordCount) +
                           ", but the command table holds " + std::to_string(present));
    if (present == 0)
        problems.push_back("the command table holds no record");
    if (!tableRead) {
        problems.push_back("cannot read the command table");
        return false;
    }
    const int32_t shown = std::min(std::max(pkg.recordCount, 0), present);
    for (int32_t i = 0; i < shown; i++)
        pkg.records.push_back(decodeRecord(table.data() + i * PKG_RECORD_SIZE, problems, i + 1));
    return problems.empty();
}

std::vector<ImagePart> imageParts(const Package &pkg)
{
    int32_t entries[PKG_DIR_ENTRIES];
    pkgDecodeDirectory(pkg.directory, entries);
    int64_t offsets[2];
    int32_t sizes[2];
    if (pkgImageArchives(entries, offsets, sizes) == 1)
        return {ImagePart{"image", 0, offsets[0], sizes[0]}};
    return {ImagePart{"x86 image", PKG_ARCH_X86, offsets[0], sizes[0]},
            ImagePart{"x86-64 image", PKG_ARCH_X86_64, offsets[1], sizes[1]}};
}

bool readPackageBytes(const std::string &path, int64_t offset, int32_t size,
                      std::vector<unsigned char> &data, std::string &error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    // Bounded by the file before anything is allocated: a size from a
    // damaged directory must not ask for gigabytes.
    in.seekg(0, std::ios::end);
    const int64_t fileSize = static_cast<int64_t>(in.tellg());
    if (offset < 0 || size < 0 || !in || offset + size > fileSize) {
        error = std::to_string(size) + " bytes at offset " + std::to_string(offset) +
                " lie beyond the end of " + path;
        return false;
    }
    data.resize(static_cast<size_t>(size));
    in.seekg(offset);
    in.read(reinterpret_cast<char *>(data.data()), static_cast<std::streamsize>(data.size()));
    if (!in) {
        error = "cannot read " + std::to_string(data.size()) + " bytes at offset " +
                std::to_string(offset) + " of " + path;
        return false;
    }
    return true;
}

} // namespace pkgtool
