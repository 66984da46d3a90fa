// The ELF reader on files made here byte by byte (both classes, both byte
// orders), cut at every length and damaged field by field.  Real binaries
// are compared with readelf in tests/e2e/test_host_needs.py.
#include "elfinfo.h"

#include <gtest/gtest.h>

#include <functional>
#include <tuple>
#include <random>

#include "../common/pkglayout.h"

using namespace pkgtool;

namespace {

const uint64_t BASE = 0x400000;

struct Spec {
    bool wide = true;
    bool big = false;
    uint16_t machine = pkgArchitecture(PKG_ARCH_X86_64)->elfMachine;
    uint16_t type = 3;
    std::string interpreter;
    bool dynamic = false;
    std::vector<std::string> needed;
    // Per needed file: its name, then the version names asked of it.
    std::vector<std::vector<std::string>> versions;
};

// Where the parts of a made file lie.
struct Layout {
    uint64_t phoff = 0, phentsize = 0, interp = 0, dynamic = 0, dynEntry = 0, verneed = 0,
             strtab = 0, strsz = 0;
    int dynamicIndex = -1, interpIndex = -1;
};

struct Elf {
    Spec spec;
    Layout at;
    std::vector<unsigned char> bytes;

    void put(uint64_t offset, uint64_t value, unsigned size)
    {
        for (unsigned i = 0; i < size; i++)
            bytes[offset + i] = static_cast<unsigned char>(value >> (8 * (spec.big ? size - 1 - i : i)));
    }
    void word(uint64_t offset, uint64_t value) { put(offset, value, spec.wide ? 8 : 4); }
    // Program header i's field: offset, vaddr or filesz.
    uint64_t phField(int i, const char *field) const
    {
        const uint64_t at0 = at.phoff + i * at.phentsize;
        const std::string f = field;
        if (f == "offset")
            return at0 + (spec.wide ? 8 : 4);
        if (f == "vaddr")
            return at0 + (spec.wide ? 16 : 8);
        return at0 + (spec.wide ? 32 : 16); // filesz
    }
    // The value field of dynamic entry i.
    uint64_t dynValue(int i) const { return at.dynamic + i * at.dynEntry + at.dynEntry / 2; }
    std::string read(size_t size, ElfInfo &info) const { return readElfInfo(bytes.data(), size, info); }
    std::string read(ElfInfo &info) const { return read(bytes.size(), info); }
};

// Header, program headers (PT_LOAD over the whole file, then PT_INTERP and
// PT_DYNAMIC as asked), interpreter, dynamic entries, version needs, and
// the string table last (of a dynamic file), so that every cut of the file
// loses something the reader needs.
Elf makeElf(const Spec &spec)
{
    Elf e;
    e.spec = spec;
    Layout &at = e.at;
    const uint64_t w = spec.wide ? 8 : 4;
    const uint64_t header = spec.wide ? 64 : 52;
    at.phentsize = spec.wide ? 56 : 32;
    at.dynEntry = 2 * w;
    const int phnum = 1 + (spec.interpreter.empty() ? 0 : 1) + (spec.dynamic ? 1 : 0);
    at.phoff = header;
    uint64_t pos = header + phnum * at.phentsize;
    at.interp = pos;
    pos += spec.interpreter.empty() ? 0 : spec.interpreter.size() + 1;

    std::string strtab(1, '\0');
    auto name = [&strtab](const std::string &n) {
        const uint64_t o = strtab.size();
        strtab += n + '\0';
        return o;
    };
    std::vector<std::pair<uint64_t, uint64_t>> dyn; // tag, value (addresses fixed below)
    for (const auto &n : spec.needed)
        dyn.push_back({1, name(n)});
    const size_t strtabEntry = dyn.size();
    dyn.push_back({5, 0});  // DT_STRTAB
    dyn.push_back({10, 0}); // DT_STRSZ
    if (!spec.versions.empty()) {
        dyn.push_back({0x6ffffffe, 0}); // DT_VERNEED
        dyn.push_back({0x6fffffff, spec.versions.size()});
    }
    dyn.push_back({0, 0});
    at.dynamic = pos;
    if (spec.dynamic)
        pos += dyn.size() * at.dynEntry;
    at.verneed = pos;
    uint64_t verneedSize = 0;
    for (const auto &v : spec.versions)
        verneedSize += 16 * v.size();
    pos += verneedSize;
    std::vector<uint64_t> versionNames;
    for (const auto &v : spec.versions)
        for (const auto &n : v)
            versionNames.push_back(name(n));
    at.strtab = pos;
    at.strsz = strtab.size();
    if (spec.dynamic)
        pos += strtab.size();
    e.bytes.assign(pos, 0);

    // The header.
    e.bytes[0] = 0x7F, e.bytes[1] = 'E', e.bytes[2] = 'L', e.bytes[3] = 'F';
    e.bytes[4] = spec.wide ? 2 : 1;
    e.bytes[5] = spec.big ? 2 : 1;
    e.bytes[6] = 1;
    e.put(16, spec.type, 2);
    e.put(18, spec.machine, 2);
    e.put(20, 1, 4);
    e.word(spec.wide ? 32 : 28, at.phoff);
    e.put(spec.wide ? 52 : 40, header, 2);
    e.put(spec.wide ? 54 : 42, at.phentsize, 2);
    e.put(spec.wide ? 56 : 44, phnum, 2);

    // The program headers.
    auto segment = [&](int i, uint32_t type, uint64_t offset, uint64_t size) {
        const uint64_t p = at.phoff + i * at.phentsize;
        e.put(p, type, 4);
        e.word(e.phField(i, "offset"), offset);
        e.word(e.phField(i, "vaddr"), BASE + offset);
        e.word(e.phField(i, "filesz"), size);
    };
    int i = 0;
    segment(i++, 1, 0, pos);
    if (!spec.interpreter.empty()) {
        at.interpIndex = i;
        segment(i++, 3, at.interp, spec.interpreter.size() + 1);
        std::copy(spec.interpreter.begin(), spec.interpreter.end(), e.bytes.begin() + at.interp);
    }
    if (spec.dynamic) {
        at.dynamicIndex = i;
        segment(i++, 2, at.dynamic, dyn.size() * at.dynEntry);
        dyn[strtabEntry].second = BASE + at.strtab;
        dyn[strtabEntry + 1].second = at.strsz;
        if (!spec.versions.empty())
            dyn[strtabEntry + 2].second = BASE + at.verneed;
        for (size_t k = 0; k < dyn.size(); k++) {
            e.word(at.dynamic + k * at.dynEntry, dyn[k].first);
            e.word(at.dynamic + k * at.dynEntry + w, dyn[k].second);
        }
    }

    // The version needs: a Verneed, then its Vernaux entries, per file.
    uint64_t p = at.verneed;
    size_t n = 0;
    for (size_t f = 0; f < spec.versions.size(); f++) {
        const auto &v = spec.versions[f];
        const uint64_t count = v.size() - 1;
        e.put(p, 1, 2);
        e.put(p + 2, count, 2);
        e.put(p + 4, versionNames[n++] - 0, 4);
        e.put(p + 8, 16, 4);
        e.put(p + 12, f + 1 < spec.versions.size() ? 16 * (count + 1) : 0, 4);
        for (uint64_t k = 0; k < count; k++) {
            const uint64_t a = p + 16 * (k + 1);
            e.put(a + 8, versionNames[n++], 4);
            e.put(a + 12, k + 1 < count ? 16 : 0, 4);
        }
        p += 16 * (count + 1);
    }
    if (spec.dynamic)
        std::copy(strtab.begin(), strtab.end(), e.bytes.begin() + at.strtab);
    return e;
}

// A file like Debian's miniunzip: interpreter, two libraries, and glibc
// versions whose order as text differs from their order as numbers.
Spec dynamicSpec(bool wide, bool big)
{
    Spec s;
    s.wide = wide;
    s.big = big;
    s.machine = wide ? pkgArchitecture(PKG_ARCH_X86_64)->elfMachine : pkgArchitecture(PKG_ARCH_X86)->elfMachine;
    s.interpreter = wide ? "/lib64/ld-linux-x86-64.so.2" : "/lib/ld-linux.so.2";
    s.dynamic = true;
    s.needed = {"libminizip.so.1", "libc.so.6"};
    s.versions = {{"libc.so.6", "GLIBC_2.7", "GLIBC_2.14", "GLIBC_PRIVATE", "GLIBC_2.34",
                   "GLIBC_2.2.5", "GLIBC_2.3.4"},
                  {"libminizip.so.1", "MINIZIP_1.0"}};
    return s;
}

std::vector<unsigned char> exactCopy(const std::vector<unsigned char> &bytes, size_t size)
{
    // A buffer of exactly size bytes, so that a read past it is caught by
    // the address sanitizer.
    return std::vector<unsigned char>(bytes.begin(), bytes.begin() + size);
}

} // namespace

TEST(ElfInfo, DynamicExecutablesOfBothClassesAndByteOrders)
{
    for (const bool wide : {true, false}) {
        for (const bool big : {false, true}) {
            SCOPED_TRACE(std::string(wide ? "ELF64" : "ELF32") + (big ? " big" : " little"));
            const Elf e = makeElf(dynamicSpec(wide, big));
            ElfInfo info;
            ASSERT_EQ("", e.read(info));
            EXPECT_EQ(wide ? 64 : 32, info.elfClass);
            EXPECT_EQ(big, info.bigEndian);
            EXPECT_EQ(wide ? pkgArchitecture(PKG_ARCH_X86_64)->elfMachine : pkgArchitecture(PKG_ARCH_X86)->elfMachine, info.machine);
            EXPECT_EQ(wide ? "/lib64/ld-linux-x86-64.so.2" : "/lib/ld-linux.so.2",
                      info.interpreter);
            EXPECT_EQ((std::vector<std::string>{"libminizip.so.1", "libc.so.6"}), info.needed);
            EXPECT_EQ("2.34", info.glibc);
            EXPECT_FALSE(info.isStatic());
        }
    }
}

TEST(ElfInfo, HighestGlibcAcrossAllNeededFiles)
{
    Spec s = dynamicSpec(true, false);
    s.versions.push_back({"libm.so.6", "GLIBC_2.29", "GLIBC_2.38", "GLIBC_2.2.5"});
    ElfInfo info;
    ASSERT_EQ("", makeElf(s).read(info));
    EXPECT_EQ("2.38", info.glibc);

    // Only names that are GLIBC_ and a dotted number count.
    s.versions = {{"libc.so.6", "GLIBC_PRIVATE", "GLIBC_", "GLIBC_2.", "GLIBC_.2", "GLIBC_2..3",
                   "GLIBCXX_3.4", "GLIBC_ABI_DT_RELR", "GLIBC_2.3x"}};
    ASSERT_EQ("", makeElf(s).read(info));
    EXPECT_EQ("", info.glibc);
}

TEST(ElfInfo, StaticExecutables)
{
    Spec s;
    ElfInfo info;
    ASSERT_EQ("", makeElf(s).read(info));
    EXPECT_TRUE(info.isStatic());
    EXPECT_EQ("", info.interpreter);
    EXPECT_TRUE(info.needed.empty());
    EXPECT_EQ("", info.glibc);

    // A static PIE has a dynamic section, without libraries.
    s.dynamic = true;
    ASSERT_EQ("", makeElf(s).read(info));
    EXPECT_TRUE(info.isStatic());

    // An interpreter alone makes a file dynamic.
    s.dynamic = false;
    s.interpreter = "/lib/ld-musl-x86_64.so.1";
    ASSERT_EQ("", makeElf(s).read(info));
    EXPECT_FALSE(info.isStatic());
    EXPECT_EQ("/lib/ld-musl-x86_64.so.1", info.interpreter);
}

TEST(ElfInfo, EveryCutOfTheFileIsRefused)
{
    Spec onlyInterpreter;
    onlyInterpreter.interpreter = "/lib/ld.so";
    for (const Spec &s : {dynamicSpec(true, false), dynamicSpec(false, false),
                          dynamicSpec(false, true), onlyInterpreter}) {
        const Elf e = makeElf(s);
        for (size_t n = 0; n < e.bytes.size(); n++) {
            const std::vector<unsigned char> cut = exactCopy(e.bytes, n);
            ElfInfo info;
            EXPECT_NE("", readElfInfo(cut.data(), cut.size(), info)) << "cut at " << n;
        }
        // Whole, and with a byte more, it reads.
        const std::vector<unsigned char> whole = exactCopy(e.bytes, e.bytes.size());
        std::vector<unsigned char> more = whole;
        more.push_back(0);
        ElfInfo info;
        EXPECT_EQ("", readElfInfo(whole.data(), whole.size(), info));
        EXPECT_EQ("", readElfInfo(more.data(), more.size(), info));
    }
}

TEST(ElfInfo, TheProgramHeaderTableAtTheEndOfTheFile)
{
    // A static file ends with its one program header: size - 1 bytes are
    // too few, size and size + 1 are enough.
    const Elf e = makeElf(Spec());
    ASSERT_EQ(e.at.phoff + e.at.phentsize, e.bytes.size());
    for (const size_t size : {e.bytes.size() - 1, e.bytes.size(), e.bytes.size() + 1}) {
        std::vector<unsigned char> b = e.bytes;
        b.resize(size);
        ElfInfo info;
        EXPECT_EQ(size < e.bytes.size(), readElfInfo(b.data(), b.size(), info) != "") << size;
    }
}

TEST(ElfInfo, DamagedHeadersAreRefused)
{
    const Elf good = makeElf(dynamicSpec(true, false));
    struct Damage {
        const char *what;
        std::function<void(Elf &)> apply;
        const char *message;
    };
    const std::vector<Damage> damages = {
        {"magic", [](Elf &e) { e.bytes[1] = 'e'; }, "not an ELF file"},
        {"class 0", [](Elf &e) { e.bytes[4] = 0; }, "unknown class 0"},
        {"class 3", [](Elf &e) { e.bytes[4] = 3; }, "unknown class 3"},
        {"byte order", [](Elf &e) { e.bytes[5] = 3; }, "unknown byte order 3"},
        {"relocatable", [](Elf &e) { e.put(16, 1, 2); }, "type 1, not an executable"},
        {"core", [](Elf &e) { e.put(16, 4, 2); }, "type 4, not an executable"},
        {"entry size", [](Elf &e) { e.put(54, 55, 2); }, "entries of 55 bytes"},
        {"no headers", [](Elf &e) { e.put(56, 0, 2); }, "without a usable program header"},
        {"extended count", [](Elf &e) { e.put(56, 0xFFFF, 2); }, "without a usable program"},
        {"table past the end", [](Elf &e) { e.word(32, e.bytes.size() - 56 * 3 + 1); },
         "program headers lie beyond"},
        {"table offset wraps", [](Elf &e) { e.word(32, ~uint64_t(0) - 8); },
         "program headers lie beyond"},
        {"interpreter unended",
         [](Elf &e) { e.bytes[e.at.interp + e.spec.interpreter.size()] = 'x'; },
         "interpreter's name lies beyond the file, has no end"},
        {"interpreter past the end",
         [](Elf &e) { e.word(e.phField(e.at.interpIndex, "filesz"), e.bytes.size()); },
         "interpreter's name lies beyond"},
        {"interpreter offset wraps",
         [](Elf &e) { e.word(e.phField(e.at.interpIndex, "offset"), ~uint64_t(0)); },
         "interpreter's name lies beyond"},
        {"interpreter empty", [](Elf &e) { e.bytes[e.at.interp] = 0; }, "name is empty"},
        {"two interpreters",
         [](Elf &e) { e.put(e.at.phoff + e.at.dynamicIndex * e.at.phentsize, 3, 4); },
         "two program interpreters"},
        {"dynamic past the end",
         [](Elf &e) { e.word(e.phField(e.at.dynamicIndex, "filesz"), e.bytes.size()); },
         "dynamic section lies beyond"},
        {"dynamic offset wraps",
         [](Elf &e) { e.word(e.phField(e.at.dynamicIndex, "offset"), ~uint64_t(0) - 4); },
         "dynamic section lies beyond"},
        {"string table unmapped", [](Elf &e) { e.word(e.dynValue(2), BASE - 1); },
         "string table lies outside the loaded segments"},
        {"string table past the segment's file bytes",
         [](Elf &e) { e.word(e.dynValue(2), BASE + e.bytes.size()); },
         "string table lies outside"},
        {"segment past the file",
         [](Elf &e) {
             e.word(e.phField(0, "filesz"), ~uint64_t(0) / 2);
             e.word(e.dynValue(2), BASE + e.bytes.size() + 10);
         },
         "string table lies outside"},
        {"library name at the table's size", [](Elf &e) { e.word(e.dynValue(0), e.at.strsz); },
         "needed library's name lies outside"},
        {"library name unended",
         [](Elf &e) {
             e.bytes.back() = 'x';
             e.word(e.dynValue(0), e.at.strsz - 2);
         },
         "needed library's name lies outside"},
        {"version needs unmapped", [](Elf &e) { e.word(e.dynValue(4), 16); },
         "version needs lie outside"},
        {"version need past the end", [](Elf &e) { e.put(e.at.verneed + 12, 1u << 30, 4); },
         "a version need lies beyond the file"},
        {"version entry past the end", [](Elf &e) { e.put(e.at.verneed + 8, 1u << 30, 4); },
         "a version need entry lies beyond the file"},
        {"version name past the table", [](Elf &e) { e.put(e.at.verneed + 16 + 8, e.at.strsz, 4); },
         "version name lies outside"},
    };
    for (const Damage &d : damages) {
        Elf e = good;
        d.apply(e);
        ElfInfo info;
        const std::vector<unsigned char> b = exactCopy(e.bytes, e.bytes.size());
        const std::string problem = readElfInfo(b.data(), b.size(), info);
        EXPECT_NE(std::string::npos, problem.find(d.message))
            << d.what << ": \"" << problem << "\"";
    }
}

TEST(ElfInfo, OverlappingVersionNeedsEndWithinTheFile)
{
    // A region where every 4 bytes read as a version need with no entries
    // whose next one starts 4 bytes on: a sound file's needs never overlap,
    // so a walk longer than the file holds is refused, not followed on.
    Elf e = makeElf(dynamicSpec(true, false));
    const uint64_t region = e.bytes.size();
    for (int i = 0; i < 1024; i++)
        e.bytes.insert(e.bytes.end(), {4, 0, 0, 0});
    e.word(e.phField(0, "filesz"), e.bytes.size());
    e.word(e.dynValue(4), BASE + region);
    e.word(e.dynValue(5), ~uint64_t(0));
    ElfInfo info;
    EXPECT_EQ("more version needs than the file holds", e.read(info));
    // Counted, the same walk ends where the count does.
    e.word(e.dynValue(5), 100);
    EXPECT_EQ("", e.read(info));
}

// What a successful read reports is text of the file itself: each name a
// NUL-terminated string found in the buffer.
static bool fromBuffer(const std::vector<unsigned char> &b, const std::string &text)
{
    const std::string whole(b.begin(), b.end());
    return whole.find(text + '\0') != std::string::npos;
}

TEST(ElfInfo, RandomDamageIsReadOrRefusedWithinTheBuffer)
{
    std::mt19937 random(20261208);
    const Elf files[] = {makeElf(dynamicSpec(true, false)), makeElf(dynamicSpec(false, true))};
    int refused = 0, read = 0;
    for (int round = 0; round < 20000; round++) {
        std::vector<unsigned char> b = files[round % 2].bytes;
        const int flips = 1 + static_cast<int>(random() % 6);
        for (int k = 0; k < flips; k++)
            b[random() % b.size()] = static_cast<unsigned char>(random());
        b.resize(b.size() - random() % 3);
        ElfInfo info;
        if (readElfInfo(b.data(), b.size(), info) != "") {
            refused++;
            continue;
        }
        read++;
        EXPECT_TRUE(info.interpreter.empty() || fromBuffer(b, info.interpreter));
        for (const std::string &n : info.needed)
            EXPECT_TRUE(fromBuffer(b, n)) << n;
        EXPECT_TRUE(info.glibc.empty() || fromBuffer(b, "GLIBC_" + info.glibc)) << info.glibc;
    }
    // Both endings were seen often.
    EXPECT_GT(refused, 1000);
    EXPECT_GT(read, 1000);
}

TEST(ElfInfo, NamesUpTo4096Bytes)
{
    for (const size_t length : {4095, 4096, 4097}) {
        SCOPED_TRACE(length);
        Spec s = dynamicSpec(true, false);
        s.interpreter = "/" + std::string(length - 1, 'i');
        ElfInfo info;
        const std::string problem = makeElf(s).read(info);
        if (length <= 4096) {
            EXPECT_EQ("", problem);
            EXPECT_EQ(s.interpreter, info.interpreter);
        } else {
            EXPECT_NE(std::string::npos, problem.find("is over 4096 bytes")) << problem;
        }
        s = dynamicSpec(false, false);
        s.needed.push_back(std::string(length, 'n'));
        const std::string libraryProblem = makeElf(s).read(info);
        if (length <= 4096) {
            EXPECT_EQ("", libraryProblem);
            EXPECT_EQ(s.needed, info.needed);
        } else {
            EXPECT_EQ("a needed library's name lies outside the string table", libraryProblem);
        }
    }
}

TEST(ElfInfo, ThirtyTwoBitTableAndEntryBounds)
{
    Elf e = makeElf(dynamicSpec(false, false));
    e.put(42, 31, 2);
    ElfInfo info;
    EXPECT_NE(std::string::npos, e.read(info).find("entries of 31 bytes, fewer than 32"));
    // Larger entries than the layout's are allowed (the extra bytes skipped),
    // as long as the table fits.
    Spec narrow;
    narrow.wide = false;
    e = makeElf(narrow);
    e.put(42, 33, 2);
    EXPECT_NE("", e.read(info));
    e.bytes.push_back(0);
    EXPECT_EQ("", e.read(info));
}

TEST(ElfInfo, MachineNamesAndArchitectureCodes)
{
    const std::tuple<uint16_t, bool, const char *> names[] = {
        {62, false, "x86-64"},
        {62, true, "x86-64 big-endian"},
        {3, false, "i386"},
        {183, false, "AArch64"},
        {183, true, "AArch64 big-endian"},
        {21, false, "PowerPC64 little-endian"},
        {21, true, "PowerPC64 big-endian"},
        {22, true, "IBM S/390 big-endian"},
        {22, false, "IBM S/390 little-endian"},
        {20, true, "machine 20 big-endian"},
        {0, false, "machine 0"},
    };
    for (const auto &[machine, big, name] : names)
        EXPECT_EQ(name, elfMachineName(machine, big)) << machine << " " << big;
    // Which hosts run them: i386 executables run on both x86 kinds.
    using Codes = std::vector<int32_t>;
    EXPECT_EQ((Codes{PKG_ARCH_X86, PKG_ARCH_X86_64}), elfHostArchitectures(3));
    EXPECT_EQ((Codes{PKG_ARCH_X86_64}), elfHostArchitectures(62));
    EXPECT_EQ((Codes{PKG_ARCH_ARM64}), elfHostArchitectures(183));
    EXPECT_EQ((Codes{PKG_ARCH_PPC}), elfHostArchitectures(21));
    EXPECT_EQ((Codes{PKG_ARCH_PPC}), elfHostArchitectures(20));
    EXPECT_EQ((Codes{PKG_ARCH_IBMZ}), elfHostArchitectures(22));
    EXPECT_EQ(Codes{}, elfHostArchitectures(40)); // 32-bit ARM: no code names its hosts
    // The reader takes the big-endian headers of an s390x executable.
    Spec s;
    s.machine = 22;
    s.big = true;
    ElfInfo info;
    ASSERT_EQ("", makeElf(s).read(info));
    EXPECT_EQ(22, info.machine);
    EXPECT_TRUE(info.bigEndian);
}

TEST(ElfInfo, VersionsCompareAsNumbers)
{
    EXPECT_LT(compareVersions("2.7", "2.14"), 0);
    EXPECT_LT(compareVersions("2.14", "2.34"), 0);
    EXPECT_GT(compareVersions("2.34", "2.7"), 0);
    EXPECT_LT(compareVersions("2.3", "2.3.4"), 0);
    EXPECT_GT(compareVersions("2.3.4", "2.3"), 0);
    EXPECT_LT(compareVersions("2.2.5", "2.3"), 0);
    EXPECT_EQ(0, compareVersions("2.10", "2.010"));
    EXPECT_EQ(0, compareVersions("2.0", "2"));
    EXPECT_EQ(0, compareVersions("2.34", "2.34"));
    EXPECT_LT(compareVersions("2.99999999999999999999", "2.100000000000000000000"), 0);
    EXPECT_GT(compareVersions("10.0", "9.99"), 0);
}
