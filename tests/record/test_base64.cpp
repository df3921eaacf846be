#include "record/base64.h"

#include <gtest/gtest.h>

namespace qpm {
namespace {

TEST(Base64, EncodesWithPadding)
{
    const std::pair<const char *, const char *> vectors[] = {
        {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
    };
    for (const auto &[plain, encoded] : vectors) {
        EXPECT_EQ(lutil_b64_ntop(plain), encoded);
        EXPECT_EQ(lutil_b64_pton(encoded), plain);
    }
}

TEST(Base64, EveryByteRoundTrips)
{
    std::string bytes;
    for (int i = 0; i < 256; ++i)
        bytes += static_cast<char>(255 - i);
    for (size_t len : {size_t{1}, size_t{2}, size_t{3}, size_t{255}, size_t{256}}) {
        const std::string part = bytes.substr(0, len);
        EXPECT_EQ(lutil_b64_pton(lutil_b64_ntop(part)), part) << len;
    }
    EXPECT_EQ(lutil_b64_ntop(std::string("\0\xff\xfe", 3)), "AP/+");
}

TEST(Base64, DecodeSkipsWhiteSpaceAnywhere)
{
    EXPECT_EQ(lutil_b64_pton(" Zm9v\n\tYm\r\nFy "), "foobar");
    EXPECT_EQ(lutil_b64_pton("Zg = = \n"), "f");
    EXPECT_EQ(lutil_b64_pton("   "), "");
}

TEST(Base64, DecodeRefusesMalformedText)
{
    for (const char *bad : {
             "Zm9v!",    // outside the alphabet
             "Zm9v-_",   // the URL-safe alphabet is not ours
             "Zg",       // partial group without padding
             "Zg=",      // one pad where two are needed
             "Zm8==",    // two pads where one is needed
             "Z===",     // a pad after a single character
             "=",        // a pad with no data
             "Zg==Zg==", // data after the padding
             "Zg==x",    // anything but white space after the padding
             "Zh==",     // leftover bits not zero
             "Zm9=",     // leftover bits not zero
         })
        EXPECT_EQ(lutil_b64_pton(bad), std::nullopt) << bad;
}

} // namespace
} // namespace qpm
