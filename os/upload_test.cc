// The upload's own logic, apart from any server: where a URL sends a file,
// and that the checksum sees every byte once however libcurl seeks.  The
// transfers themselves are tested against real servers in
// tests/e2e/test_upload.py.
#include "os/upload_internal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace {

struct Target {
    int result;
    int scheme;
    std::string url, checksumUrl, name, user, err;
};

Target target(const std::string &url, const char *fileName = "r e\\p.tgz", int form = 0)
{
    UploadTarget t;
    testing::internal::CaptureStderr();
    Target r;
    r.result = uploadTarget(url.c_str(), fileName, form, &t);
    r.err = testing::internal::GetCapturedStderr();
    if (r.result == 0) {
        r.scheme = t.scheme;
        r.url = t.url;
        r.checksumUrl = t.checksumUrl;
        r.name = t.name;
        r.user = t.user;
    }
    return r;
}

// What sha256sum writes for the file, run where it lies.
std::string sha256sum(const TempDir &dir, const std::string &name)
{
    std::string command = "cd '" + dir.path() + "' && sha256sum '" + name + "'";
    FILE *p = popen(command.c_str(), "r");
    std::string out;
    char piece[512];
    size_t n;
    while (p != nullptr && (n = fread(piece, 1, sizeof piece, p)) > 0)
        out.append(piece, n);
    return p != nullptr && pclose(p) == 0 ? out : "<sha256sum failed>";
}

TEST(UploadTarget, TheUserGoesApartAndTheNameBeforeTheQuery)
{
    Target t = target("SFTP://case%40123@host:22/in/?x=1#f");
    ASSERT_EQ(0, t.result) << t.err;
    EXPECT_EQ(UPLOAD_SFTP, t.scheme);
    EXPECT_EQ("SFTP://host:22/in/r%20e%5Cp.tgz?x=1#f", t.url);
    EXPECT_EQ("SFTP://host:22/in/r%20e%5Cp.tgz.sha256?x=1#f", t.checksumUrl);
    EXPECT_EQ("case@123", t.user);
    // A name of the URL's own is decoded for the checksum line; a form's URL
    // is taken as it is, for its checksum file too.
    EXPECT_EQ("result 1.tgz", target("ftps://host/dir/result%201.tgz").name);
    EXPECT_EQ("https://host/form/", target("https://host/form/", "a", 1).checksumUrl);
    for (const char *refused : {"http://host/", "host/", "sftp://u@/", "sftp://a%00b@host/"})
        EXPECT_EQ(-1, target(refused).result) << refused;
}

TEST(UploadTarget, LongestUrlThatFitsWithItsChecksumNameAndOneMore)
{
    // NAME.sha256's URL is 7 longer than the file's: that bounds the file's.
    const size_t longest = UPLOAD_URL_SIZE - 1 - 7;
    const std::string head = "https://host/";
    for (size_t length : {longest - 1, longest, longest + 1}) {
        Target named = target(head + std::string(length - head.size() - 2, 'd') + "/n");
        Target completed = target(head + std::string(length - head.size() - 2, 'd') + "/", "f");
        for (const Target *t : {&named, &completed}) {
            if (length <= longest) {
                EXPECT_EQ(0, t->result) << t->err;
                EXPECT_EQ(length, t->url.size());
                EXPECT_EQ(length + 7, t->checksumUrl.size());
            } else {
                EXPECT_EQ(-1, t->result);
                EXPECT_EQ("Upload: the URL with the file's name is longer than 4095 bytes\n",
                          t->err);
            }
        }
    }
    // A form has no second URL: its bound is the buffer's own.
    EXPECT_EQ(0, target(head + std::string(UPLOAD_URL_SIZE - 1 - head.size(), 'f'), "f", 1).result);
    EXPECT_EQ(-1, target(head + std::string(UPLOAD_URL_SIZE - head.size(), 'f'), "f", 1).result);
}

TEST(UploadSource, EveryByteIsHashedOnceHoweverTheTriesSeek)
{
    TempDir dir;
    const std::string name = "odd\\name\nline";
    std::string data(200000, '\0');
    for (size_t i = 0; i < data.size(); i++)
        data[i] = (char)(i * 7919 % 251);
    writeFile(dir / name, data);
    const int fd = open((dir / name).c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    UploadSource source;
    uploadSourceInit(&source, fd, nullptr, data.size(), "x");
    source.progress = 0;
    char buffer[16384];
    std::string sent;
    auto read = [&](size_t bytes) {
        while (bytes > 0) {
            const size_t n = uploadRead(buffer, 1, std::min(bytes, sizeof buffer), &source);
            ASSERT_GT(n, 0u);
            ASSERT_LE(n, sizeof buffer);
            sent.append(buffer, n);
            bytes -= n;
        }
    };
    read(70000);                                              // a first try, broken
    EXPECT_EQ(CURL_SEEKFUNC_OK, uploadSeek(&source, 0, SEEK_SET)); // starting over
    read(30000);
    EXPECT_EQ(CURL_SEEKFUNC_OK, uploadSeek(&source, 50000, SEEK_SET)); // resumed
    read(40000);
    // Beyond what was hashed: libcurl reads its way there instead.
    EXPECT_EQ(CURL_SEEKFUNC_CANTSEEK, uploadSeek(&source, 150000, SEEK_SET));
    EXPECT_EQ(CURL_SEEKFUNC_FAIL, uploadSeek(&source, 200001, SEEK_SET));
    read(10000);
    EXPECT_EQ(data.substr(0, 70000) + data.substr(0, 30000) + data.substr(50000, 50000), sent);
    // The last try ended early (the server held the rest): the digest reads it.
    unsigned char digest[crypto_hash_sha256_BYTES];
    ASSERT_EQ(0, uploadDigest(&source, digest));
    close(fd);

    char line[UPLOAD_CHECKSUM_LINE_SIZE];
    const std::string expected = sha256sum(dir, name);
    ASSERT_EQ((int)expected.size(), uploadChecksumLine(line, expected.size() + 1, digest,
                                                       name.c_str()));
    EXPECT_EQ(expected, line);
    EXPECT_EQ(-1, uploadChecksumLine(line, expected.size(), digest, name.c_str()));
}

} // namespace
