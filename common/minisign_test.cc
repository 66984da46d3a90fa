// minisign's public key files, as the launcher and pkgtool read them.
#include "minisign.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// A key that minisign -G made (its secret half was not kept).
const std::string kKey = "untrusted comment: minisign public key 564D8F354F8C4DEE\n"
                         "RWTuTYxPNY9NVngSdn8B7e2Jt3ii3UH2MiFDeBmGQKDpL89z8dTu1102\n";

int parse(const std::string &text, MinisignPublicKey &key)
{
    return minisignParsePublicKey(text.data(), text.size(), &key);
}

} // namespace

TEST(MinisignKey, ReadsTheKeyAndShowsItsIdAsMinisignDoes)
{
    MinisignPublicKey key;
    ASSERT_EQ(0, parse(kKey, key));
    char id[MINISIGN_KEY_ID_TEXT_SIZE];
    minisignKeyIdText(key.keyId, id);
    EXPECT_STREQ("564D8F354F8C4DEE", id);
    EXPECT_EQ(0xEE, key.keyId[0]); // little-endian: the last digits first
    // Without leading zeros, as minisign prints it.
    const unsigned char small[MINISIGN_KEY_ID_SIZE] = {0xEE, 0xF7, 0x3A, 0x30, 0x1A, 0x28, 0xE7, 0x04};
    minisignKeyIdText(small, id);
    EXPECT_STREQ("4E7281A303AF7EE", id);
    // Line ends of other systems, and no line end at all.
    MinisignPublicKey again;
    std::string crlf = kKey;
    crlf.replace(crlf.find('\n'), 1, "\r\n");
    ASSERT_EQ(0, parse(crlf.substr(0, crlf.size() - 1) + "\r\n", again));
    EXPECT_EQ(0, memcmp(key.key, again.key, sizeof key.key));
    ASSERT_EQ(0, parse(kKey.substr(0, kKey.size() - 1), again));
}

TEST(MinisignKey, RefusesWhatIsNoPublicKey)
{
    MinisignPublicKey key;
    const size_t line = kKey.find('\n') + 1;
    const std::string blob = kKey.substr(line, kKey.size() - line - 1);
    for (const std::string &text : {
             std::string(""), std::string("untrusted comment: x"),     // one line only
             "trusted comment: x\n" + blob + "\n",                      // another first line
             kKey.substr(0, line) + blob.substr(0, blob.size() - 4) + "\n", // cut short
             kKey.substr(0, line) + blob + "AAAA\n",                    // too long
             kKey.substr(0, line) + blob + " \n",                       // trailing junk
             kKey.substr(0, line) + "RUT" + blob.substr(3) + "\n"}) {   // a signature's "ED"
        EXPECT_EQ(-1, parse(text, key)) << text;
    }
}
