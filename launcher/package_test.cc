#include "launcher/installer.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "os/osspecific.h"
#include "tests/test_util.h"

namespace {

std::string bytes(size_t n, char seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = static_cast<char>(seed + i * 7 + i / 251);
    return s;
}

// Writes a package of the given elements, optionally followed by alignment
// bytes and a fake signature.  Returns the file's path.
std::string writePackage(const TempDir &dir, const std::vector<std::string> &elements,
                         int32_t firstImage = 0, int32_t secondImage = 0,
                         const std::string &afterMarker = "")
{
    std::string data;
    unsigned char directory[PKG_DIR_SIZE] = {};
    for (int i = 0; i < PKG_ELEMENT_COUNT; i++) {
        data += elements[i];
        pkgPutI32(directory + 4 * i, static_cast<int32_t>(elements[i].size()));
    }
    pkgPutI32(directory + 4 * PKG_DIR_FIRST_IMAGE_ENTRY, firstImage);
    pkgPutI32(directory + 4 * PKG_DIR_SECOND_IMAGE_ENTRY, secondImage);
    data.append(reinterpret_cast<char *>(directory), PKG_DIR_SIZE);
    data += static_cast<char>(PKG_END_MARKER);
    data += afterMarker;
    writeFile(dir / "pkg", data);
    return dir / "pkg";
}

struct Opened {
    int fd = -1;
    int32_t directory[PKG_DIR_ENTRIES] = {};
    ~Opened()
    {
        if (fd >= 0)
            close(fd);
    }
};

class PackageReader : public ::testing::Test {
protected:
    void SetUp() override { whichImg = -1; }
    void TearDown() override { whichImg = -1; }
    TempDir dir;
};

} // namespace

TEST_F(PackageReader, LocatesDirectoryAndReadsElements)
{
    std::vector<std::string> e = {bytes(1000, 'L'), bytes(300, 'U'), std::string(8, '\1'),
                                  bytes(800, 'C'), bytes(5000, 'I')};
    std::string pkg = writePackage(dir, e);
    Opened o;
    o.fd = locatePkgDirectory("", pkg.c_str(), o.directory);
    ASSERT_GE(o.fd, 0);
    for (int i = 0; i < PKG_ELEMENT_COUNT; i++)
        EXPECT_EQ(static_cast<int32_t>(e[i].size()), o.directory[i]);
    EXPECT_EQ(1300, seekToPkgElement(2, o.directory, o.fd));
    EXPECT_EQ(0, seekToPkgElement(0, o.directory, o.fd));
    EXPECT_EQ(-1, seekToPkgElement(5, o.directory, o.fd));

    // Capacity: one byte short reads nothing, exact fits.
    std::vector<char> buf(800, 'z');
    EXPECT_EQ(-1, extractPkgElement(3, o.directory, o.fd, buf.data(), 799));
    EXPECT_EQ(std::string(800, 'z'), std::string(buf.begin(), buf.end()));
    EXPECT_EQ(800, extractPkgElement(3, o.directory, o.fd, buf.data(), 800));
    EXPECT_EQ(e[3], std::string(buf.begin(), buf.end()));

    ASSERT_EQ(0, changeDir(dir.path().c_str()));
    EXPECT_EQ(0, extractPkgElementFile(4, "image.zip", o.directory, o.fd));
    chmod("image.zip", 0600);
    EXPECT_EQ(e[4], readFile(dir / "image.zip"));
    ASSERT_EQ(0, changeDir("/"));
}

TEST_F(PackageReader, CopiesInChunksAtTheBoundaries)
{
    for (size_t size : {size_t(0), size_t(1), size_t(ELEMENT_COPY_CHUNK - 1),
                        size_t(ELEMENT_COPY_CHUNK), size_t(ELEMENT_COPY_CHUNK + 1),
                        size_t(3 * ELEMENT_COPY_CHUNK + 17)}) {
        SCOPED_TRACE(size);
        std::vector<std::string> e = {bytes(64, 'L'), bytes(size, 'U'), std::string(8, '\0'),
                                      bytes(400, 'C'), bytes(10, 'I')};
        std::string pkg = writePackage(dir, e);
        Opened o;
        o.fd = locatePkgDirectory("", pkg.c_str(), o.directory);
        ASSERT_GE(o.fd, 0);
        std::string out = dir / "unzip";
        ASSERT_EQ(0, extractPkgElementFile(1, out.c_str(), o.directory, o.fd));
        chmod(out.c_str(), 0600);
        EXPECT_EQ(e[1], readFile(out));
        unlink(out.c_str());

        // The buffer copy that takes over where the kernel refuses: from the
        // element's position on, and no further.
        ASSERT_EQ(64, seekToPkgElement(1, o.directory, o.fd));
        int w = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(w, 0);
        EXPECT_EQ(0, copyPkgBytesByChunks(o.fd, w, static_cast<int32_t>(size)));
        close(w);
        EXPECT_EQ(e[1], readFile(out));
        EXPECT_EQ(64 + static_cast<off_t>(size), lseek(o.fd, 0, SEEK_CUR));
        unlink(out.c_str());
    }
}

TEST_F(PackageReader, BufferCopyFailsOnAShortReadOrWrite)
{
    std::string pkg = writePackage(dir, {bytes(64, 'L'), bytes(3 * ELEMENT_COPY_CHUNK, 'U'),
                                         std::string(8, '\0'), bytes(400, 'C'), bytes(10, 'I')});
    Opened o;
    o.fd = locatePkgDirectory("", pkg.c_str(), o.directory);
    ASSERT_GE(o.fd, 0);
    std::string out = dir / "out";
    int w = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(w, 0);
    // One byte more than the file holds from here: the last read is short.
    const off_t left = static_cast<off_t>(readFile(pkg).size()) - ELEMENT_COPY_CHUNK;
    ASSERT_EQ(ELEMENT_COPY_CHUNK, lseek(o.fd, ELEMENT_COPY_CHUNK, SEEK_SET));
    EXPECT_EQ(-1, copyPkgBytesByChunks(o.fd, w, static_cast<int32_t>(left + 1)));
    ASSERT_EQ(ELEMENT_COPY_CHUNK, lseek(o.fd, ELEMENT_COPY_CHUNK, SEEK_SET));
    EXPECT_EQ(0, copyPkgBytesByChunks(o.fd, w, static_cast<int32_t>(left)));
    close(w);
    // An output that takes no writes.
    int r = open(out.c_str(), O_RDONLY);
    ASSERT_GE(r, 0);
    ASSERT_EQ(0, lseek(o.fd, 0, SEEK_SET));
    EXPECT_EQ(-1, copyPkgBytesByChunks(o.fd, r, 10));
    close(r);
}

TEST_F(PackageReader, ShortOrUnwritableCopiesFail)
{
    std::vector<std::string> e = {bytes(64, 'L'), bytes(10, 'U'), std::string(8, '\0'),
                                  bytes(400, 'C'), bytes(10, 'I')};
    std::string pkg = writePackage(dir, e);
    Opened o;
    o.fd = locatePkgDirectory("", pkg.c_str(), o.directory);
    ASSERT_GE(o.fd, 0);
    // A directory whose size points past the end of the file: a short read.
    o.directory[4] = 10 * ELEMENT_COPY_CHUNK;
    EXPECT_EQ(-1, extractPkgElementFile(4, (dir / "img").c_str(), o.directory, o.fd));
    std::vector<char> buf(ELEMENT_COPY_CHUNK * 10);
    EXPECT_EQ(-1, extractPkgElement(4, o.directory, o.fd, buf.data(), buf.size()));
    EXPECT_EQ(-1, extractPkgElementFile(1, (dir / "missing/x").c_str(), o.directory, o.fd));
}

TEST_F(PackageReader, ImagePairSecondArchiveStartsAfterTheFirst)
{
    std::vector<std::string> e = {bytes(100, 'L'), bytes(50, 'U'), std::string(8, '\0'),
                                  bytes(400, 'C'), bytes(700, 'A') + bytes(300, 'B')};
    std::string pkg = writePackage(dir, e, 700, 300);
    Opened o;
    o.fd = locatePkgDirectory("", pkg.c_str(), o.directory);
    ASSERT_GE(o.fd, 0);
    EXPECT_EQ(700, o.directory[PKG_DIR_FIRST_IMAGE_ENTRY]);
    EXPECT_EQ(300, o.directory[PKG_DIR_SECOND_IMAGE_ENTRY]);
    EXPECT_EQ(558, seekToPkgElement(4, o.directory, o.fd));
    whichImg = 0;
    EXPECT_EQ(558, seekToPkgElement(4, o.directory, o.fd));
    whichImg = 1;
    EXPECT_EQ(558 + 700, seekToPkgElement(4, o.directory, o.fd));
    o.directory[4] = 300;
    std::string out = dir / "second";
    ASSERT_EQ(0, extractPkgElementFile(4, out.c_str(), o.directory, o.fd));
    chmod(out.c_str(), 0600);
    EXPECT_EQ(e[4].substr(700), readFile(out));
}

// A signature block of the smallest size, with an empty comment: what the
// reader looks at (magic, algorithm, length, trailer) and signatures that
// nothing here checks.
std::string signatureBlock()
{
    std::string block(PKG_SIG_MIN_SIZE, 'S');
    memcpy(&block[0], PKG_SIG_MAGIC, 8);
    memcpy(&block[PKG_SIG_ALG_OFFSET], "ED", 2);
    block[PKG_SIG_COMMENT_LENGTH_OFFSET] = block[PKG_SIG_COMMENT_LENGTH_OFFSET + 1] = '\0';
    auto *t = reinterpret_cast<unsigned char *>(&block[block.size() - PKG_SIG_TRAILER_SIZE]);
    pkgPutU32(t, PKG_SIG_MIN_SIZE);
    memset(t + 4, 0, 4);
    memcpy(t + 8, PKG_SIG_TRAILER_MAGIC, 8);
    return block;
}

TEST_F(PackageReader, SignatureAlignmentMustBeTheZerosOfSigning)
{
    // Signed bytes of 100 + 50 + 8 + 400 + 90 + 549 = 1197: three zeros put
    // the block at 1200.
    std::vector<std::string> e = {bytes(100, 'L'), bytes(50, 'U'), std::string(8, '\0'),
                                  bytes(400, 'C'), bytes(90, 'I')};
    const std::string block = signatureBlock();
    std::string pkg = writePackage(dir, e, 0, 0, std::string(3, '\0') + block);
    {
        Opened o;
        o.fd = locatePkgDirectory("", pkg.c_str(), o.directory);
        ASSERT_GE(o.fd, 0);
        EXPECT_EQ(90, o.directory[4]);
        EXPECT_EQ(1197, pkgSignedSize);
        EXPECT_EQ(uint32_t(PKG_SIG_MIN_SIZE), pkgSignatureBlock);
    }
    // A changed alignment byte, a byte too many or too few: nothing that is
    // not signed may differ from what signing wrote.
    for (const std::string &between : {std::string("\0A\0", 3), std::string(4, '\0'),
                                       std::string(2, '\0')}) {
        SCOPED_TRACE(between.size());
        pkg = writePackage(dir, e, 0, 0, between + block);
        Opened o;
        testing::internal::CaptureStderr();
        o.fd = locatePkgDirectory("", pkg.c_str(), o.directory);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_LT(o.fd, 0);
        EXPECT_NE(std::string::npos, err.find("Damaged package: the bytes between the package "
                                              "and its signature"))
            << err;
    }
    // A block that is not one (its magic changed) is damage.
    std::string bad = block;
    bad[0] = 'X';
    pkg = writePackage(dir, e, 0, 0, std::string(3, '\0') + bad);
    {
        Opened o;
        testing::internal::CaptureStderr();
        o.fd = locatePkgDirectory("", pkg.c_str(), o.directory);
        EXPECT_EQ("Damaged package: its signature block is damaged; get the package again\n",
                  testing::internal::GetCapturedStderr());
        EXPECT_LT(o.fd, 0);
    }
    // Without a trailer the same bytes are no signature: an unsigned
    // package's directory is then looked for at the very end, and refused.
    e[4] = bytes(91, 'I');
    pkg = writePackage(dir, e, 0, 0, std::string(3, '\0'));
    Opened o;
    testing::internal::CaptureStderr();
    o.fd = locatePkgDirectory("", pkg.c_str(), o.directory);
    EXPECT_EQ("Invalid package directory\n", testing::internal::GetCapturedStderr());
}

TEST_F(PackageReader, ReportsWhatIsWrong)
{
    auto locate = [&](const std::string &path) {
        Opened o;
        testing::internal::CaptureStderr();
        o.fd = locatePkgDirectory("", path.c_str(), o.directory);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_LT(o.fd, 0);
        return err;
    };
    writeFile(dir / "short", std::string(548, '\xff'));
    EXPECT_EQ("Failed seeking to package directory\n", locate(dir / "short"));

    // A negative size, or sizes that add up to 2^31 or more.
    std::vector<std::string> e = {bytes(100, 'L'), bytes(50, 'U'), std::string(8, '\0'),
                                  bytes(400, 'C'), bytes(90, 'I')};
    std::string pkg = writePackage(dir, e);
    std::string data = readFile(pkg);
    size_t dirAt = data.size() - PKG_TRAILER_SIZE;
    std::string bad = data;
    pkgPutI32(reinterpret_cast<unsigned char *>(&bad[dirAt + 4]), -1);
    writeFile(dir / "negative", bad);
    EXPECT_EQ("Invalid package directory\n", locate(dir / "negative"));
    // Sizes that do not fill the file up to the directory: a truncated or
    // padded package.
    writeFile(dir / "truncated", data.substr(0, 300) + data.substr(dirAt));
    EXPECT_EQ("Invalid package directory\n", locate(dir / "truncated"));
    writeFile(dir / "padded", data.substr(0, dirAt) + "x" + data.substr(dirAt));
    EXPECT_EQ("Invalid package directory\n", locate(dir / "padded"));

    // The largest package whose offsets stay below 2^31, and one byte more
    // (sparse files).
    for (long long length : {0x7FFFFFFFLL, 0x7FFFFFFFLL + 1 + PKG_TRAILER_SIZE}) {
        SCOPED_TRACE(length);
        std::string big = dir / "big";
        unlink(big.c_str());
        long long sum = length - PKG_TRAILER_SIZE;
        std::string trailer(PKG_TRAILER_SIZE, '\0');
        auto *t = reinterpret_cast<unsigned char *>(&trailer[0]);
        pkgPutI32(t, 100);
        pkgPutI32(t + 4, 50);
        pkgPutI32(t + 8, 8);
        pkgPutI32(t + 12, 400);
        pkgPutI32(t + 16, static_cast<int32_t>(std::min(sum - 558, 0x7FFFFFFFLL)));
        t[PKG_DIR_SIZE] = PKG_END_MARKER;
        int fd = open(big.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(0, ftruncate(fd, sum));
        ASSERT_EQ(sum, lseek(fd, 0, SEEK_END));
        ASSERT_EQ(PKG_TRAILER_SIZE, write(fd, trailer.data(), trailer.size()));
        close(fd);
        Opened o;
        testing::internal::CaptureStderr();
        o.fd = locatePkgDirectory("", big.c_str(), o.directory);
        std::string err = testing::internal::GetCapturedStderr();
        if (length == 0x7FFFFFFFLL) {
            EXPECT_GE(o.fd, 0) << err;
            EXPECT_EQ(558, seekToPkgElement(4, o.directory, o.fd));
            EXPECT_EQ(sum - 558, o.directory[4]);
        } else {
            EXPECT_LT(o.fd, 0);
        }
        unlink(big.c_str());
    }
}

TEST_F(PackageReader, OpensItsOwnFileWhateverArgv0Names)
{
    // argv0 may name anything: nothing, another package, a FIFO.  The
    // running executable is read all the same, through the kernel.
    std::vector<std::string> e = {bytes(100, 'L'), bytes(50, 'U'), std::string(8, '\0'),
                                  bytes(400, 'C'), bytes(90, 'I')};
    std::string other = writePackage(dir, e);
    ASSERT_EQ(0, mkfifo((dir / "fifo").c_str(), 0600));
    ASSERT_EQ(0, changeDir(dir.path().c_str()));
    for (const std::string &argv0 : {std::string("no-such-launcher-name"), other,
                                     dir / "fifo"}) {
        SCOPED_TRACE(argv0);
        Opened o;
        testing::internal::CaptureStderr();
        o.fd = locatePkgDirectory(argv0.c_str(), nullptr, o.directory);
        std::string err = testing::internal::GetCapturedStderr();
        // The test binary is no package: what matters is that it was
        // opened, not the file argv0 names.
        EXPECT_EQ(std::string::npos, err.find("Failed opening file"));
        EXPECT_STREQ("/proc/self/exe", pkgPath);
        EXPECT_LT(o.fd, 0);
    }
    ASSERT_EQ(0, changeDir("/"));
    // A package named by its path (trell-run) must be a regular file: a
    // FIFO is refused at once, never waited on.
    Opened o;
    testing::internal::CaptureStderr();
    o.fd = locatePkgDirectory("", (dir / "fifo").c_str(), o.directory);
    EXPECT_EQ("Failed opening file " + (dir / "fifo") + ": it is not a regular file\n",
              testing::internal::GetCapturedStderr());
    EXPECT_LT(o.fd, 0);
    pkgNamed = 0;
}

TEST_F(PackageReader, PathSearchIsTheShells)
{
    // Before the one to find: a folder of that name, a file nobody may run,
    // an entry too long for the buffer.
    for (const char *d : {"a", "a/tool", "b", "cc", "d"})
        ASSERT_EQ(0, mkdir((dir / d).c_str(), 0755));
    writeFile(dir / "b/tool", "#!/bin/sh\n");
    writeFile(dir / "cc/tool", "#!/bin/sh\n");
    writeFile(dir / "d/tool", "#!/bin/sh\n");
    ASSERT_EQ(0, chmod((dir / "cc/tool").c_str(), 0755));
    ASSERT_EQ(0, chmod((dir / "d/tool").c_str(), 0755));
    const char *saved = getenv("PATH");
    std::string keep = saved ? saved : "";
    char out[256];
    std::string longEntry = "/" + std::string(300, 'x');
    setenv("PATH", (dir / "a:" + dir.path() + "/b:" + longEntry + ":" + dir.path() + "/cc:" +
                    dir.path() + "/d").c_str(), 1);
    EXPECT_EQ(0, findOnPath(out, sizeof out, "tool"));
    EXPECT_EQ(dir / "cc/tool", out);
    // The same file by a path that just fits, and one byte short of it.
    std::string found = dir / "cc/tool";
    EXPECT_EQ(0, findOnPath(out, found.size() + 1, "tool"));
    EXPECT_EQ(0, findOnPath(out, found.size(), "tool"));
    EXPECT_EQ(dir / "d/tool", out) << "the shorter entry after it";
    EXPECT_EQ(-1, findOnPath(out, sizeof out, "absent"));

    // Empty entries, first, inside or last, stand for the current folder.
    ASSERT_EQ(0, changeDir((dir / "d").c_str()));
    for (const char *path : {":/nonexistent", "/nonexistent::/usr/bin", "/nonexistent:", ""}) {
        setenv("PATH", path, 1);
        EXPECT_EQ(0, findOnPath(out, sizeof out, "tool")) << path;
        EXPECT_STREQ("tool", out) << path;
    }
    setenv("PATH", "/nonexistent", 1);
    EXPECT_EQ(-1, findOnPath(out, sizeof out, "tool"));
    // Unset: the shell's own default.
    unsetenv("PATH");
    EXPECT_EQ(0, findOnPath(out, sizeof out, "sh"));
    EXPECT_STREQ("/bin/sh", out);
    ASSERT_EQ(0, changeDir("/"));
    if (saved)
        setenv("PATH", keep.c_str(), 1);
}
