#include "package/sha1.h"
#include "package/signature.h"

#include "support/test_support.h"
#include "util/raii.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <unistd.h>

#include <openssl/evp.h>

using namespace qpm;

namespace {

std::string openssl_sha1_hex(std::string_view data)
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EXPECT_EQ(EVP_Digest(data.data(), data.size(), md, &length, EVP_sha1(), nullptr), 1);
    Sha1::Digest digest{};
    std::copy(md, md + digest.size(), digest.begin());
    return sha1_format(digest, 'x');
}

// Bytes that are not all alike, so a misplaced byte changes the digest.
std::string pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 131 + 7) & 0xff);
    return s;
}

constexpr const char *EMPTY_SHA1 = "da39a3ee5e6b4b0d3255bfef95601890afd80709";

} // namespace

TEST(Sha1, FipsVectorsMatchPublishedDigestsAndOpenssl)
{
    const std::pair<std::string, const char *> vectors[] = {
        {"", EMPTY_SHA1},
        {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
    };
    for (const auto &[data, expected] : vectors) {
        EXPECT_EQ(sha1_data(data), expected) << "length " << data.size();
        EXPECT_EQ(sha1_data(data), openssl_sha1_hex(data)) << "length " << data.size();
    }
}

TEST(Sha1, LengthsAroundBlockAndPaddingBoundariesMatchOpenssl)
{
    // 55/56 decide whether the length fits in the last block; 63/64/65 cross it.
    for (size_t n = 0; n <= 200; ++n) {
        const std::string data = pattern(n);
        ASSERT_EQ(sha1_data(data), openssl_sha1_hex(data)) << "length " << n;
    }
}

TEST(Sha1, ChunkedUpdatesEqualOneShot)
{
    const std::string data = pattern(1000);
    const std::string expected = openssl_sha1_hex(data);
    for (size_t chunk : {1, 3, 55, 56, 63, 64, 65, 127, 999}) {
        Sha1 sha;
        for (size_t pos = 0; pos < data.size(); pos += chunk)
            sha.update(std::string_view(data).substr(pos, chunk));
        EXPECT_EQ(sha1_format(sha.final(), 'x'), expected) << "chunk " << chunk;
    }
}

TEST(Sha1, FinalStartsANewDigest)
{
    Sha1 sha;
    sha.update("something else");
    (void)sha.final();
    sha.update("abc");
    EXPECT_EQ(sha1_format(sha.final(), 'x'), "a9993e364706816aba3e25717850c26c9cd0d89d");
}

TEST(Sha1, RawModeGivesTheTwentyDigestBytes)
{
    const std::string raw = sha1_data("abc", 'r');
    ASSERT_EQ(raw.size(), 20u);
    EXPECT_EQ(static_cast<unsigned char>(raw[0]), 0xa9);
    EXPECT_EQ(static_cast<unsigned char>(raw[19]), 0x9d);
}

TEST(Sha1, FilesAreDigestedAcrossReadPieces)
{
    test::ScratchDir dir;
    const std::string data = pattern(3 * 4096 + 17);
    test::write_file(dir / "f", data);
    test::write_file(dir / "empty", "");

    EXPECT_EQ(sha1_file(dir / "f"), openssl_sha1_hex(data));
    EXPECT_EQ(qps_sha1_file(dir / "f", 'x'), openssl_sha1_hex(data));
    EXPECT_EQ(sha1_file(dir / "empty"), EMPTY_SHA1);
    EXPECT_EQ(qps_sha1_file(dir / "empty", 'x'), EMPTY_SHA1);
    EXPECT_EQ(qps_sha1_file(dir / "f", 0), sha1_data(data, 0));
}

TEST(Sha1, MissingOrUnreadableFileGivesNothing)
{
    test::ScratchDir dir;
    EXPECT_FALSE(sha1_file(dir / "missing"));
    EXPECT_FALSE(qps_sha1_file(dir / "missing", 'x'));
    // A directory opens but cannot be read.
    EXPECT_FALSE(sha1_file(dir.path()));
    EXPECT_FALSE(qps_sha1_file(dir.path(), 'x'));
}

TEST(Sha1Stream, PiecesAndDescriptorTailsGiveTheOwnDigest)
{
    test::ScratchDir dir;
    // Across the 64 KiB read piece, and an empty file.
    const std::string data = pattern(2 * 65536 + 5);
    test::write_file(dir / "f", data);
    test::write_file(dir / "empty", "");

    Sha1Stream pieces;
    for (size_t at = 0; at < data.size(); at += 1000)
        ASSERT_TRUE(pieces.update(data.data() + at, std::min<size_t>(1000, data.size() - at)));
    const auto digest = pieces.final();
    ASSERT_TRUE(digest);
    EXPECT_EQ(sha1_format(*digest, 'x'), sha1_data(data));
    EXPECT_FALSE(pieces.final()) << "one digest per stream";

    // From a descriptor: only what follows its offset, after what was fed.
    for (const size_t offset : {size_t{0}, size_t{1}, size_t{65536}, data.size()}) {
        const UniqueFd fd(::open((dir / "f").c_str(), O_RDONLY | O_CLOEXEC));
        ASSERT_TRUE(fd);
        ASSERT_EQ(::lseek(fd.get(), static_cast<off_t>(offset), SEEK_SET), static_cast<off_t>(offset));
        Sha1Stream sha;
        ASSERT_TRUE(sha.update("head", 4));
        ASSERT_TRUE(sha.update_from(fd.get())) << offset;
        const auto tail = sha.final();
        ASSERT_TRUE(tail);
        EXPECT_EQ(sha1_format(*tail, 'x'), sha1_data("head" + data.substr(offset))) << offset;
    }

    const UniqueFd empty(::open((dir / "empty").c_str(), O_RDONLY | O_CLOEXEC));
    Sha1Stream none;
    ASSERT_TRUE(none.update_from(empty.get()));
    EXPECT_EQ(sha1_format(*none.final(), 'x'), EMPTY_SHA1);

    // A directory opens but cannot be read.
    const UniqueFd directory(::open(dir.path().c_str(), O_RDONLY | O_CLOEXEC));
    Sha1Stream unread;
    EXPECT_FALSE(unread.update_from(directory.get()));
}
