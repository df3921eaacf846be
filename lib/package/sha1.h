#pragma once
// SHA-1 fed in pieces, so files are digested without being held in memory:
// the library's own implementation (FIPS 180-4), and Sha1Stream, the same
// digest computed by libcrypto, through which every file and package stream
// is digested.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

struct evp_md_ctx_st;

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

// SHA-1 by libcrypto, fed like Sha1 and giving the same digests at the
// speed of the platform's own code. A failure of the library is kept (and
// its error queue cleared): every later update and final() report it.
class Sha1Stream {
public:
    Sha1Stream();
    ~Sha1Stream();
    Sha1Stream(const Sha1Stream &) = delete;
    Sha1Stream &operator=(const Sha1Stream &) = delete;

    // False once the digest has failed.
    bool update(const void *data, size_t length);
    // Feeds everything readable from `fd`, from its offset to the end. False
    // when a read fails (errno set) or the digest has failed.
    bool update_from(int fd);
    // The digest of everything fed; nothing when a step failed. One digest
    // per stream: later calls give nothing.
    std::optional<Sha1::Digest> final();

private:
    struct CtxFree {
        void operator()(evp_md_ctx_st *ctx) const;
    };
    std::unique_ptr<evp_md_ctx_st, CtxFree> m_ctx;
    bool m_ok = false;
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
