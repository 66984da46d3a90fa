#include "elfinfo.h"

#include <algorithm>
#include <cstring>

#include "../common/pkglayout.h"

namespace pkgtool {

namespace {

enum : uint32_t {
    PT_LOAD_ = 1,
    PT_DYNAMIC_ = 2,
    PT_INTERP_ = 3,
};
enum : uint64_t {
    DT_NULL_ = 0,
    DT_NEEDED_ = 1,
    DT_STRTAB_ = 5,
    DT_STRSZ_ = 10,
    DT_VERNEED_ = 0x6ffffffe,
    DT_VERNEEDNUM_ = 0x6fffffff,
};
// Elf32_Vernaux has the size of its 64-bit twin, as Elf32_Verneed has.
const uint64_t VERNAUX_SIZE = 16;
// The longest interpreter, library or version name read (the kernel takes
// an interpreter path of at most PATH_MAX bytes).
const uint64_t MAX_NAME = 4096;

// Bounds-checked reads of the file's integers in its byte order.
struct Bytes {
    const unsigned char *data;
    size_t size;
    bool big;
    bool wide; // ELF64: addresses, offsets and dynamic entries are 8 bytes

    bool has(uint64_t offset, uint64_t length) const
    {
        return offset <= size && length <= size - offset;
    }
    bool uint(uint64_t offset, unsigned bytes, uint64_t &value) const
    {
        if (!has(offset, bytes))
            return false;
        value = 0;
        for (unsigned i = 0; i < bytes; i++) {
            const unsigned shift = 8 * (big ? bytes - 1 - i : i);
            value |= static_cast<uint64_t>(data[offset + i]) << shift;
        }
        return true;
    }
    bool word(uint64_t offset, uint64_t &value) const { return uint(offset, wide ? 8 : 4, value); }
    // The NUL-terminated text at offset, which must end before limit and
    // within MAX_NAME bytes (so that many names cost little, whatever the
    // file says).
    bool text(uint64_t offset, uint64_t limit, std::string &out) const
    {
        limit = std::min<uint64_t>(limit, size);
        if (offset >= limit)
            return false;
        const void *end = std::memchr(data + offset, '\0',
                                      std::min<uint64_t>(limit - offset, MAX_NAME + 1));
        if (end == nullptr)
            return false;
        out.assign(reinterpret_cast<const char *>(data + offset),
                   static_cast<const unsigned char *>(end) - (data + offset));
        return true;
    }
};

struct Segment {
    uint32_t type;
    uint64_t offset, vaddr, filesz;
};

// The file offset of a virtual address inside a PT_LOAD segment's file
// bytes.  Result: true, or false when no segment holds it.
bool mapAddress(const std::vector<Segment> &segments, uint64_t address, uint64_t &offset)
{
    for (const Segment &s : segments) {
        if (s.type == PT_LOAD_ && address >= s.vaddr && address - s.vaddr < s.filesz) {
            offset = s.offset + (address - s.vaddr);
            return true;
        }
    }
    return false;
}

// "GLIBC_2.34" -> "2.34"; "" for GLIBC_PRIVATE and other names.
std::string glibcVersion(const std::string &name)
{
    static const std::string prefix = "GLIBC_";
    if (name.compare(0, prefix.size(), prefix) != 0 || name.size() == prefix.size())
        return "";
    const std::string v = name.substr(prefix.size());
    bool digit = false;
    for (const char c : v) {
        if (c >= '0' && c <= '9')
            digit = true;
        else if (c == '.' && digit)
            digit = false;
        else
            return "";
    }
    return digit ? v : "";
}

// The version needs: each needed file's list of versions.  Counts and
// links come from the file, so both loops are bounded by what fits in it.
std::string readVersionNeeds(const Bytes &b, uint64_t start, uint64_t count, uint64_t strtab,
                             uint64_t strLimit, std::string &glibc)
{
    uint64_t at = start;
    // Entries of a sound file do not overlap: no more of them than fit.
    uint64_t budget = b.size / VERNAUX_SIZE;
    for (uint64_t i = 0; i < count; i++) {
        uint64_t auxCount, aux, next;
        if (budget-- == 0)
            return "more version needs than the file holds";
        if (!b.uint(at + 2, 2, auxCount) || !b.uint(at + 8, 4, aux) || !b.uint(at + 12, 4, next))
            return "a version need lies beyond the file";
        uint64_t a = at + aux;
        for (uint64_t k = 0; k < auxCount; k++) {
            uint64_t name, auxNext;
            std::string text;
            if (budget-- == 0)
                return "more version needs than the file holds";
            if (!b.uint(a + 8, 4, name) || !b.uint(a + 12, 4, auxNext))
                return "a version need entry lies beyond the file";
            if (strtab + name >= strLimit || !b.text(strtab + name, strLimit, text))
                return "a version name lies outside the string table";
            const std::string v = glibcVersion(text);
            if (!v.empty() && (glibc.empty() || compareVersions(v, glibc) > 0))
                glibc = v;
            if (auxNext == 0)
                break;
            a += auxNext;
        }
        if (next == 0)
            break;
        at += next;
    }
    return "";
}

// The dynamic section's libraries and version needs.
std::string readDynamic(const Bytes &b, const std::vector<Segment> &segments, const Segment &dyn,
                        ElfInfo &info)
{
    const uint64_t entry = b.wide ? 16 : 8;
    if (!b.has(dyn.offset, dyn.filesz))
        return "the dynamic section lies beyond the file";
    std::vector<uint64_t> neededNames;
    uint64_t strtabAddr = 0, strsz = 0, verneedAddr = 0, verneedNum = 0;
    bool haveStrtab = false, haveStrsz = false, haveVerneed = false, haveVerneedNum = false;
    for (uint64_t at = dyn.offset; at + entry <= dyn.offset + dyn.filesz; at += entry) {
        uint64_t tag, value;
        if (!b.word(at, tag) || !b.word(at + entry / 2, value))
            return "the dynamic section lies beyond the file";
        if (tag == DT_NULL_)
            break;
        if (tag == DT_NEEDED_)
            neededNames.push_back(value);
        else if (tag == DT_STRTAB_)
            strtabAddr = value, haveStrtab = true;
        else if (tag == DT_STRSZ_)
            strsz = value, haveStrsz = true;
        else if (tag == DT_VERNEED_)
            verneedAddr = value, haveVerneed = true;
        else if (tag == DT_VERNEEDNUM_)
            verneedNum = value, haveVerneedNum = true;
    }
    if (neededNames.empty() && !haveVerneed)
        return "";
    uint64_t strtab;
    if (!haveStrtab || !mapAddress(segments, strtabAddr, strtab) || strtab >= b.size)
        return "the dynamic string table lies outside the loaded segments";
    // Without DT_STRSZ the table may reach to the end of the file.
    const uint64_t strLimit = haveStrsz && strsz <= b.size - strtab ? strtab + strsz : b.size;
    for (const uint64_t name : neededNames) {
        std::string text;
        if (name >= strLimit - strtab || !b.text(strtab + name, strLimit, text))
            return "a needed library's name lies outside the string table";
        info.needed.push_back(text);
    }
    if (!haveVerneed)
        return "";
    uint64_t verneed;
    if (!mapAddress(segments, verneedAddr, verneed))
        return "the version needs lie outside the loaded segments";
    return readVersionNeeds(b, verneed, haveVerneedNum ? verneedNum : UINT64_MAX, strtab,
                            strLimit, info.glibc);
}

} // namespace

std::string readElfInfo(const unsigned char *data, size_t size, ElfInfo &info)
{
    info = ElfInfo();
    if (size < 4 || data[0] != 0x7F || data[1] != 'E' || data[2] != 'L' || data[3] != 'F')
        return "not an ELF file";
    if (size < 16)
        return "the ELF header is cut short";
    if (data[4] != 1 && data[4] != 2)
        return "an ELF file of unknown class " + std::to_string(data[4]);
    if (data[5] != 1 && data[5] != 2)
        return "an ELF file of unknown byte order " + std::to_string(data[5]);
    const Bytes b{data, size, data[5] == 2, data[4] == 2};
    info.elfClass = b.wide ? 64 : 32;
    info.bigEndian = b.big;

    const uint64_t headerSize = b.wide ? 64 : 52;
    const uint64_t phoffAt = b.wide ? 32 : 28, phentAt = b.wide ? 54 : 42;
    uint64_t type, machine, phoff, phentsize, phnum;
    if (!b.has(0, headerSize) || !b.uint(16, 2, type) || !b.uint(18, 2, machine) ||
        !b.word(phoffAt, phoff) || !b.uint(phentAt, 2, phentsize) ||
        !b.uint(phentAt + 2, 2, phnum))
        return "the ELF header is cut short";
    info.machine = static_cast<uint16_t>(machine);
    if (type != 2 && type != 3)
        return "an ELF file of type " + std::to_string(type) + ", not an executable";
    const uint64_t minEntry = b.wide ? 56 : 32;
    if (phnum == 0 || phnum == 0xFFFF)
        return "an ELF file without a usable program header table";
    if (phentsize < minEntry)
        return "program header entries of " + std::to_string(phentsize) + " bytes, fewer than " +
               std::to_string(minEntry);
    if (!b.has(phoff, phentsize * phnum))
        return "the program headers lie beyond the file";

    std::vector<Segment> segments;
    const Segment *interp = nullptr, *dynamic = nullptr;
    for (uint64_t i = 0; i < phnum; i++) {
        const uint64_t at = phoff + i * phentsize;
        Segment s;
        uint64_t t;
        // Both layouts checked in full above, so these reads succeed.
        b.uint(at, 4, t);
        s.type = static_cast<uint32_t>(t);
        b.word(at + (b.wide ? 8 : 4), s.offset);
        b.word(at + (b.wide ? 16 : 8), s.vaddr);
        b.word(at + (b.wide ? 32 : 16), s.filesz);
        segments.push_back(s);
    }
    for (const Segment &s : segments) {
        const Segment **slot = s.type == PT_INTERP_ ? &interp : s.type == PT_DYNAMIC_ ? &dynamic
                                                                                      : nullptr;
        if (slot == nullptr)
            continue;
        if (*slot != nullptr)
            return s.type == PT_INTERP_ ? "two program interpreters" : "two dynamic sections";
        *slot = &s;
    }
    if (interp != nullptr) {
        if (!b.has(interp->offset, interp->filesz) ||
            !b.text(interp->offset, interp->offset + interp->filesz, info.interpreter))
            return "the program interpreter's name lies beyond the file, has no end or is "
                   "over " + std::to_string(MAX_NAME) + " bytes";
        if (info.interpreter.empty())
            return "the program interpreter's name is empty";
    }
    return dynamic != nullptr ? readDynamic(b, segments, *dynamic, info) : "";
}

std::string elfMachineName(uint16_t machine, bool bigEndian)
{
    const std::string order = bigEndian ? " big-endian" : " little-endian";
    const std::string unusual = bigEndian ? " big-endian" : "";
    for (const TrellArchitecture &a : trellArchitectures)
        if (a.elfMachine == machine)
            return a.elfName + (a.elfNameSaysOrder ? order : unusual);
    return "machine " + std::to_string(machine) + unusual;
}

std::vector<int32_t> elfHostArchitectures(uint16_t machine)
{
    // 32-bit PowerPC executables run where 64-bit ones do; no stub set is
    // built for them.
    if (machine == ELF_MACHINE_PPC)
        return {PKG_ARCH_PPC};
    for (const TrellArchitecture &a : trellArchitectures) {
        if (a.elfMachine != machine)
            continue;
        std::vector<int32_t> hosts;
        for (int i = 0; i < TRELL_ARCH_MAX_HOSTS && a.hosts[i] != PKG_ARCH_UNKNOWN; i++)
            hosts.push_back(a.hosts[i]);
        return hosts;
    }
    return {};
}

// The next part of the dotted version v from pos on, without leading zeros
// ("" for 0 and for a missing part); pos moves past it.
static std::string versionPart(const std::string &v, size_t &pos)
{
    size_t end = v.find('.', pos);
    if (end == std::string::npos)
        end = v.size();
    const std::string part = pos < v.size() ? v.substr(pos, end - pos) : "";
    pos = end + 1;
    const size_t digits = part.find_first_not_of('0');
    return digits == std::string::npos ? "" : part.substr(digits);
}

int compareVersions(const std::string &a, const std::string &b)
{
    size_t i = 0, j = 0;
    while (i < a.size() || j < b.size()) {
        // Numbers of any length compare by their length, then their digits.
        const std::string x = versionPart(a, i), y = versionPart(b, j);
        if (x.size() != y.size())
            return x.size() < y.size() ? -1 : 1;
        if (x != y)
            return x < y ? -1 : 1;
    }
    return 0;
}

} // namespace pkgtool
