// pkgtool's check of an image's data: entries that fit the unzip utility's
// buffer are inflated as it inflates them, larger ones stream; both ways
// must come to the same verdict.
#include "zipcheck.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/zipextract.h"
#include "tests/zip_builder.h"

namespace {

// The problems checkZip finds in an archive of the one entry.
std::vector<std::string> problemsOf(const ziptest::Entry &e)
{
    ziptest::Builder b;
    b.entries = {e};
    const ziptest::Bytes z = b.build();
    std::vector<pkgtool::ZipEntry> entries;
    std::vector<std::string> problems;
    pkgtool::checkZip(z, entries, problems);
    return problems;
}

// An entry of about size bytes that deflate shrinks little: both ways of
// the check get real work.
ziptest::Entry entryOf(uint64_t size)
{
    ziptest::Entry e;
    e.name = "data";
    e.content.resize(size);
    uint32_t x = 12345;
    for (char &c : e.content) {
        x = x * 1103515245 + 12345;
        c = static_cast<char>("abcdefgh"[(x >> 16) & 7]);
    }
    return e;
}

TEST(ZipCheck, BothWaysAgreeOnSoundAndDamagedData)
{
    const std::string damaged = "entry 'data' is damaged: damaged compressed data";
    for (uint64_t size : {uint64_t{ZIP_EXTRACT_BUFFER}, uint64_t{ZIP_EXTRACT_BUFFER} + 1}) {
        SCOPED_TRACE(size);
        ziptest::Entry e = entryOf(size);
        EXPECT_EQ(std::vector<std::string>{}, problemsOf(e));
        // Unused bytes after the stream's end.
        e.trailing = "left over";
        EXPECT_EQ(std::vector<std::string>{}, problemsOf(e));
        e.trailing = "";
        ziptest::Entry crc = e;
        crc.crcDelta = 1;
        EXPECT_EQ(std::vector<std::string>{"entry 'data' is damaged: CRC-32 mismatch"},
                  problemsOf(crc));
        ziptest::Builder b;
        b.entries = {e};
        ziptest::Bytes z = b.build();
        // The stream makes fewer or more bytes than the entry's size.
        for (int delta : {1, -1}) {
            ziptest::Bytes bad = z;
            const size_t sizeAt = b.directoryOffset + 24;
            ziptest::set32(bad, sizeAt, static_cast<uint32_t>(size + delta));
            ziptest::set32(bad, b.localOffsets[0] + 22, static_cast<uint32_t>(size + delta));
            std::vector<pkgtool::ZipEntry> entries;
            std::vector<std::string> problems;
            pkgtool::checkZip(bad, entries, problems);
            EXPECT_EQ(std::vector<std::string>{damaged}, problems) << delta;
        }
        // A byte of the stream changed, and the stream cut short.
        const size_t data = b.localOffsets[0] + 30 + e.name.size();
        ziptest::Bytes flipped = z;
        flipped[data + (b.directoryOffset - data) / 2] ^= 0x55;
        std::vector<pkgtool::ZipEntry> entries;
        std::vector<std::string> problems;
        pkgtool::checkZip(flipped, entries, problems);
        ASSERT_EQ(1u, problems.size());
        EXPECT_EQ(0u, problems[0].find("entry 'data' is damaged: ")) << problems[0];
        const ziptest::Bytes stream = ziptest::Builder::deflate(e.content);
        ziptest::Entry cut = e;
        cut.claimedSize = size;
        cut.stored.assign(stream.begin(), stream.begin() + stream.size() / 2);
        EXPECT_EQ(std::vector<std::string>{damaged}, problemsOf(cut));
    }
}

} // namespace
