// Zip archives made byte by byte for the reader's and the extractor's
// tests, each with knobs for one fault.
#ifndef TESTS_ZIP_BUILDER_H
#define TESTS_ZIP_BUILDER_H

#include <libdeflate.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "common/zipdecode.h"
#include "common/zipread.h"

namespace ziptest {

using Bytes = std::vector<unsigned char>;

inline void put16(Bytes &b, uint32_t v)
{
    b.push_back(v & 0xFF);
    b.push_back((v >> 8) & 0xFF);
}

inline void put32(Bytes &b, uint32_t v)
{
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
}

inline void put64(Bytes &b, uint64_t v)
{
    put32(b, static_cast<uint32_t>(v));
    put32(b, static_cast<uint32_t>(v >> 32));
}

inline void set32(Bytes &b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        b[at + i] = (v >> (8 * i)) & 0xFF;
}

inline void put(Bytes &b, const std::string &s)
{
    b.insert(b.end(), s.begin(), s.end());
}

// The problem code zipOpen gives (ZIP_FINE when the archive is accepted).
inline int openCode(const Bytes &z)
{
    ZipArchive a;
    ZipProblem p;
    return zipOpen(&a, z.data(), z.size(), &p) == 0 ? ZIP_FINE : p.code;
}

// The entries of an opened archive, in the directory's order.
inline std::vector<ZipEntry> entriesOf(const ZipArchive &a)
{
    std::vector<ZipEntry> out;
    ZipCursor c;
    ZipEntry e;
    ZipProblem p;
    zipFirst(&a, &c);
    while (zipNext(&a, &c, &e, &p) == 1)
        out.push_back(e);
    return out;
}

// A read entry's data as the decoder makes it whole (the entry fits the
// buffer); empty when it is refused.
inline std::string contentOf(const ZipArchive &a, const ZipEntry &e)
{
    struct Kept {
        static int put(void *context, const unsigned char *bytes, size_t n)
        {
            static_cast<std::string *>(context)->append(reinterpret_cast<const char *>(bytes), n);
            return 0;
        }
    };
    std::string out;
    ZipDecoder d;
    if (zipDecoderInit(&d) != 0)
        return out;
    const ZipOutput output = {Kept::put, nullptr, &out};
    if (zipDecode(&a, &e, &d, &output) != 0)
        out.clear();
    zipDecoderEnd(&d);
    return out;
}

// The name of a read entry, as it is unpacked.
inline std::string nameOf(const ZipEntry &e)
{
    char name[ZIP_NAME_BUFFER];
    const int n = zipEntryName(&e, name);
    return std::string(name, n < 0 ? ZIP_MAX_NAME : n);
}

// A Unicode Path extra field (0x7075) naming the header name headerName.
inline std::string unicodePathField(const std::string &headerName, const std::string &name,
                                    int crcDelta = 0, int version = 1)
{
    Bytes f;
    put16(f, 0x7075);
    put16(f, 5 + name.size());
    f.push_back(version);
    put32(f, libdeflate_crc32(0, headerName.data(), headerName.size()) + crcDelta);
    put(f, name);
    return std::string(f.begin(), f.end());
}

struct Entry {
    std::string name;
    std::string content;
    uint16_t method = ZIP_METHOD_DEFLATED;
    uint16_t flags = 0;
    uint32_t mode = 0100644;     // Unix mode in the external attributes
    unsigned host = 3;           // "version made by": 3 Unix, 0 DOS, 11 NTFS
    std::string localExtra;      // extra fields of the local header
    std::string centralExtra;    // and of the directory entry
    std::string trailing;        // bytes after the deflate stream, in the compressed size
    bool descriptor = false;     // sizes and CRC after the data
    bool descriptorSigned = true;
    // Claimed instead of content's (a Zip64 entry too large to make, a cut
    // stream): claimedSize unpacked bytes, stored as the data.
    uint64_t claimedSize = 0;
    std::string stored;
    int descriptorWidth = 0;     // of its sizes: 4 or 8 bytes (0: what they need)
    // Faults: what the local header says instead.
    std::string localName;       // non-empty: this name in the local header
    int localMethod = -1;
    int64_t localSizeDelta = 0;
    int64_t crcDelta = 0;        // in both headers: a wrong CRC
};

// Writes an archive from entries, as the common writers do, with knobs for
// the faults the reader must refuse.
struct Builder {
    std::vector<Entry> entries;
    Bytes front;              // bytes before the first local header
    std::string comment;
    bool zip64End = false;    // Zip64 end record and locator
    bool saturatedDisks = false; // the end record's disk fields at 0xFFFF
    // The entries the directory lists, in its order (empty: each in turn).
    std::vector<size_t> order;
    int64_t countDelta = 0;    // added to the end record's entry counts
    size_t gapAfterEntry = 0; // bytes of padding after entry 0 (0: none)
    size_t gapBeforeDirectory = 0;
    std::vector<size_t> localOffsets;
    size_t directoryOffset = 0;
    size_t endOffset = 0;

    static Bytes deflate(const std::string &s)
    {
        libdeflate_compressor *c = libdeflate_alloc_compressor(6);
        Bytes out(libdeflate_deflate_compress_bound(c, s.size()));
        out.resize(libdeflate_deflate_compress(c, s.data(), s.size(), out.data(), out.size()));
        libdeflate_free_compressor(c);
        return out;
    }

    Bytes build()
    {
        Bytes z = front;
        std::vector<Bytes> records(entries.size());
        localOffsets.clear();
        for (size_t i = 0; i < entries.size(); i++) {
            const Entry &e = entries[i];
            const bool claimed = e.claimedSize != 0;
            Bytes data = claimed ? Bytes(e.stored.begin(), e.stored.end())
                         : e.method == ZIP_METHOD_DEFLATED
                             ? deflate(e.content)
                             : Bytes(e.content.begin(), e.content.end());
            put(data, e.trailing);
            const uint64_t size = claimed ? e.claimedSize : e.content.size();
            const uint32_t crc = static_cast<uint32_t>(
                libdeflate_crc32(0, e.content.data(), e.content.size()) + e.crcDelta);
            const uint16_t flags = e.flags | (e.descriptor ? 0x0008 : 0);
            const std::string &lname = e.localName.empty() ? e.name : e.localName;
            // Sizes over 32 bits: saturated in the directory, with a Zip64 field.
            const bool zip64 = size >= 0xFFFFFFFF || data.size() >= 0xFFFFFFFF;
            localOffsets.push_back(z.size());
            const uint32_t offset = static_cast<uint32_t>(z.size());
            put32(z, 0x04034b50);
            put16(z, 20);
            put16(z, flags);
            put16(z, e.localMethod >= 0 ? e.localMethod : e.method);
            put32(z, 0);
            put32(z, e.descriptor ? 0 : crc);
            put32(z, e.descriptor ? 0 : static_cast<uint32_t>(data.size()));
            put32(z, e.descriptor ? 0 : static_cast<uint32_t>(size + e.localSizeDelta));
            put16(z, lname.size());
            put16(z, e.localExtra.size());
            put(z, lname);
            put(z, e.localExtra);
            z.insert(z.end(), data.begin(), data.end());
            if (e.descriptor) {
                if (e.descriptorSigned)
                    put32(z, 0x08074b50);
                put32(z, crc);
                if (e.descriptorWidth == 8 || (zip64 && e.descriptorWidth != 4)) {
                    put64(z, data.size());
                    put64(z, size + e.localSizeDelta);
                } else {
                    put32(z, static_cast<uint32_t>(data.size()));
                    put32(z, static_cast<uint32_t>(size + e.localSizeDelta));
                }
            }
            if (i == 0)
                z.insert(z.end(), gapAfterEntry, 'g');
            std::string extra = e.centralExtra;
            if (zip64) {
                Bytes field;
                put16(field, 0x0001);
                put16(field, 16);
                put64(field, size);
                put64(field, data.size());
                extra = std::string(field.begin(), field.end()) + extra;
            }
            Bytes &directory = records[i];
            put32(directory, 0x02014b50);
            put16(directory, (e.host << 8) | 20);
            put16(directory, 20);
            put16(directory, flags);
            put16(directory, e.method);
            put32(directory, 0);
            put32(directory, crc);
            put32(directory, zip64 ? 0xFFFFFFFF : static_cast<uint32_t>(data.size()));
            put32(directory, zip64 ? 0xFFFFFFFF : static_cast<uint32_t>(size));
            put16(directory, e.name.size());
            put16(directory, extra.size());
            put16(directory, 0);
            put16(directory, 0);
            put16(directory, 0);
            put32(directory, e.mode << 16);
            put32(directory, offset);
            put(directory, e.name);
            put(directory, extra);
        }
        z.insert(z.end(), gapBeforeDirectory, 'h');
        directoryOffset = z.size();
        const size_t listed = order.empty() ? entries.size() : order.size();
        for (size_t i = 0; i < listed; i++) {
            const Bytes &r = records[order.empty() ? i : order[i]];
            z.insert(z.end(), r.begin(), r.end());
        }
        const size_t directorySize = z.size() - directoryOffset;
        const uint64_t count = listed + countDelta;
        if (zip64End) {
            const size_t record = z.size();
            put32(z, 0x06064b50);
            put64(z, 44);
            put16(z, 45);
            put16(z, 45);
            put32(z, 0);
            put32(z, 0);
            put64(z, count);
            put64(z, count);
            put64(z, directorySize);
            put64(z, directoryOffset);
            put32(z, 0x07064b50);
            put32(z, 0);
            put64(z, record);
            put32(z, 1);
        }
        endOffset = z.size();
        put32(z, 0x06054b50);
        put16(z, saturatedDisks ? 0xFFFF : 0);
        put16(z, saturatedDisks ? 0xFFFF : 0);
        put16(z, zip64End ? 0xFFFF : count);
        put16(z, zip64End ? 0xFFFF : count);
        put32(z, zip64End ? 0xFFFFFFFF : directorySize);
        put32(z, zip64End ? 0xFFFFFFFF : directoryOffset);
        put16(z, comment.size());
        put(z, comment);
        return z;
    }
};

// Three entries: an executable deflated file, a folder, a stored file in it.
inline Builder twoFiles()
{
    Builder b;
    Entry tool;
    tool.name = "tool";
    tool.content = "#!/bin/sh\necho tool\necho tool\necho tool\n";
    tool.mode = 0100755;
    Entry folder;
    folder.name = "lib/";
    folder.method = ZIP_METHOD_STORED;
    folder.mode = 040755;
    Entry helper;
    helper.name = "lib/helper.txt";
    helper.content = "stored text";
    helper.method = ZIP_METHOD_STORED;
    b.entries = {tool, folder, helper};
    return b;
}

} // namespace ziptest

#endif
