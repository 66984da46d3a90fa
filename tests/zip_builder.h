// Zip archives made byte by byte for the reader's and the extractor's
// tests, each with knobs for one fault.
#ifndef TESTS_ZIP_BUILDER_H
#define TESTS_ZIP_BUILDER_H

#include <libdeflate.h>
#include <stdint.h>

#include <string>
#include <vector>

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

struct Entry {
    std::string name;
    std::string content;
    uint16_t method = ZIP_METHOD_DEFLATED;
    uint16_t flags = 0;
    uint32_t mode = 0100644;     // Unix mode in the external attributes
    bool descriptor = false;     // sizes and CRC after the data
    bool descriptorSigned = true;
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
        Bytes directory;
        localOffsets.clear();
        for (size_t i = 0; i < entries.size(); i++) {
            const Entry &e = entries[i];
            const Bytes data = e.method == ZIP_METHOD_DEFLATED
                                   ? deflate(e.content)
                                   : Bytes(e.content.begin(), e.content.end());
            const uint32_t crc = static_cast<uint32_t>(
                libdeflate_crc32(0, e.content.data(), e.content.size()) + e.crcDelta);
            const uint16_t flags = e.flags | (e.descriptor ? 0x0008 : 0);
            const std::string &lname = e.localName.empty() ? e.name : e.localName;
            localOffsets.push_back(z.size());
            const uint32_t offset = static_cast<uint32_t>(z.size());
            put32(z, 0x04034b50);
            put16(z, 20);
            put16(z, flags);
            put16(z, e.localMethod >= 0 ? e.localMethod : e.method);
            put32(z, 0);
            put32(z, e.descriptor ? 0 : crc);
            put32(z, e.descriptor ? 0 : static_cast<uint32_t>(data.size()));
            put32(z, e.descriptor ? 0
                                  : static_cast<uint32_t>(e.content.size() + e.localSizeDelta));
            put16(z, lname.size());
            put16(z, 0);
            z.insert(z.end(), lname.begin(), lname.end());
            z.insert(z.end(), data.begin(), data.end());
            if (e.descriptor) {
                if (e.descriptorSigned)
                    put32(z, 0x08074b50);
                put32(z, crc);
                put32(z, static_cast<uint32_t>(data.size()));
                put32(z, static_cast<uint32_t>(e.content.size() + e.localSizeDelta));
            }
            if (i == 0)
                z.insert(z.end(), gapAfterEntry, 'g');
            put32(directory, 0x02014b50);
            put16(directory, (3 << 8) | 20);
            put16(directory, 20);
            put16(directory, flags);
            put16(directory, e.method);
            put32(directory, 0);
            put32(directory, crc);
            put32(directory, static_cast<uint32_t>(data.size()));
            put32(directory, static_cast<uint32_t>(e.content.size()));
            put16(directory, e.name.size());
            put16(directory, 0);
            put16(directory, 0);
            put16(directory, 0);
            put16(directory, 0);
            put32(directory, e.mode << 16);
            put32(directory, offset);
            directory.insert(directory.end(), e.name.begin(), e.name.end());
        }
        z.insert(z.end(), gapBeforeDirectory, 'h');
        directoryOffset = z.size();
        z.insert(z.end(), directory.begin(), directory.end());
        if (zip64End) {
            const size_t record = z.size();
            put32(z, 0x06064b50);
            put64(z, 44);
            put16(z, 45);
            put16(z, 45);
            put32(z, 0);
            put32(z, 0);
            put64(z, entries.size());
            put64(z, entries.size());
            put64(z, directory.size());
            put64(z, directoryOffset);
            put32(z, 0x07064b50);
            put32(z, 0);
            put64(z, record);
            put32(z, 1);
        }
        endOffset = z.size();
        put32(z, 0x06054b50);
        put16(z, 0);
        put16(z, 0);
        put16(z, zip64End ? 0xFFFF : entries.size());
        put16(z, zip64End ? 0xFFFF : entries.size());
        put32(z, zip64End ? 0xFFFFFFFF : directory.size());
        put32(z, zip64End ? 0xFFFFFFFF : directoryOffset);
        put16(z, comment.size());
        z.insert(z.end(), comment.begin(), comment.end());
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
