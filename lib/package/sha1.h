#pragma once
// The library's own streaming SHA-1 (FIPS 180-4): data can be fed in pieces
// of any size, so files are digested without being held in memory.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qpm {

class Sha1 {
public:
    static constexpr size_t DIGEST_SIZE = 20;
    static constexpr size_t BLOCK_SIZE = 64;
    using Digest = std::array<unsigned char, DIGEST_SIZE>;

    Sha1() { reset(); }

    // Starts a new digest (what SHA1Init does).
    void reset();
    // SHA1Update: any number of calls with pieces of any size.
    void update(const void *data, size_t length);
    void update(std::string_view data) { update(data.data(), data.size()); }
    // SHA1Final: pads, returns the digest and starts over.
    Digest final();

private:
    // SHA1Transform: one 64-byte block into the state.
    void transform(const unsigned char *block);

    std::array<uint32_t, 5> m_state{};
    uint64_t m_count = 0; // message length in bytes so far
    std::array<unsigned char, BLOCK_SIZE> m_block{};
};

// The two output forms of a digest: mode 'x' gives 40 lower-case hex digits,
// any other mode the 20 raw bytes.
std::string sha1_format(const Sha1::Digest &digest, char mode);

// SHA-1 of a byte string in the form `mode` asks for.
std::string sha1_data(std::string_view data, char mode = 'x');

// SHA-1 of a file read in pieces of 4096 bytes; nothing when the file cannot
// be opened or read.
std::optional<std::string> sha1_file(const std::string &path, char mode = 'x');

} // namespace qpm
