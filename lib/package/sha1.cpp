#include "package/sha1.h"

#include "util/files.h"
#include "util/raii.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

#include <openssl/err.h>
#include <openssl/evp.h>

namespace qpm {

namespace {

constexpr size_t FILE_PIECE = 4096;     // sha1_file, as designed
constexpr size_t STREAM_PIECE = 65536;  // Sha1Stream::update_from

uint32_t load_be32(const unsigned char *p)
{
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

void store_be32(unsigned char *p, uint32_t v)
{
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

} // namespace

void Sha1::reset()
{
    m_state = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};
    m_count = 0;
    m_block.fill(0);
}

void Sha1::transform(const unsigned char *block)
{
    uint32_t w[80];
    for (int t = 0; t < 16; ++t)
        w[t] = load_be32(block + 4 * t);
    for (int t = 16; t < 80; ++t)
        w[t] = std::rotl(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);

    uint32_t a = m_state[0], b = m_state[1], c = m_state[2], d = m_state[3], e = m_state[4];
    for (int t = 0; t < 80; ++t) {
        uint32_t f, k;
        if (t < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999u;
        } else if (t < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1u;
        } else if (t < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDCu;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6u;
        }
        const uint32_t temp = std::rotl(a, 5) + f + e + k + w[t];
        e = d;
        d = c;
        c = std::rotl(b, 30);
        b = a;
        a = temp;
    }
    m_state[0] += a;
    m_state[1] += b;
    m_state[2] += c;
    m_state[3] += d;
    m_state[4] += e;
}

void Sha1::update(const void *data, size_t length)
{
    auto in = static_cast<const unsigned char *>(data);
    size_t used = m_count % BLOCK_SIZE;
    m_count += length;

    if (used) {
        const size_t take = std::min(length, BLOCK_SIZE - used);
        std::memcpy(m_block.data() + used, in, take);
        in += take;
        length -= take;
        used += take;
        if (used < BLOCK_SIZE)
            return;
        transform(m_block.data());
    }
    for (; length >= BLOCK_SIZE; in += BLOCK_SIZE, length -= BLOCK_SIZE)
        transform(in);
    if (length)
        std::memcpy(m_block.data(), in, length);
}

Sha1::Digest Sha1::final()
{
    const uint64_t bits = m_count * 8;
    // 0x80, zeros up to 56 bytes modulo 64, then the length in bits.
    unsigned char pad[BLOCK_SIZE + 8] = {0x80};
    const size_t used = m_count % BLOCK_SIZE;
    const size_t pad_len = (used < 56 ? 56 : 120) - used;
    update(pad, pad_len);
    unsigned char length_be[8];
    store_be32(length_be, static_cast<uint32_t>(bits >> 32));
    store_be32(length_be + 4, static_cast<uint32_t>(bits));
    update(length_be, sizeof length_be);

    Digest digest;
    for (size_t i = 0; i < m_state.size(); ++i)
        store_be32(digest.data() + 4 * i, m_state[i]);
    reset();
    return digest;
}

std::string sha1_format(const Sha1::Digest &digest, char mode)
{
    if (mode != 'x')
        return std::string(reinterpret_cast<const char *>(digest.data()), digest.size());
    static constexpr char hex[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * digest.size());
    for (unsigned char byte : digest) {
        text += hex[byte >> 4];
        text += hex[byte & 0x0f];
    }
    return text;
}

std::string sha1_data(std::string_view data, char mode)
{
    Sha1 sha;
    sha.update(data);
    return sha1_format(sha.final(), mode);
}

std::optional<std::string> sha1_file(const std::string &path, char mode)
{
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd)
        return std::nullopt;
    Sha1 sha;
    const bool read = read_pieces(fd.get(), FILE_PIECE, [&sha](const char *data, size_t length) {
        sha.update(data, length);
        return true;
    });
    if (!read)
        return std::nullopt;
    return sha1_format(sha.final(), mode);
}

void Sha1Stream::CtxFree::operator()(evp_md_ctx_st *ctx) const { EVP_MD_CTX_free(ctx); }

Sha1Stream::Sha1Stream() : m_ctx(EVP_MD_CTX_new())
{
    m_ok = m_ctx && EVP_DigestInit_ex(m_ctx.get(), EVP_sha1(), nullptr) == 1;
    if (!m_ok)
        ERR_clear_error();
}

Sha1Stream::~Sha1Stream() = default;

bool Sha1Stream::update(const void *data, size_t length)
{
    if (m_ok && EVP_DigestUpdate(m_ctx.get(), data, length) != 1) {
        ERR_clear_error();
        m_ok = false;
    }
    return m_ok;
}

bool Sha1Stream::update_from(int fd)
{
    return read_pieces(fd, STREAM_PIECE, [this](const char *data, size_t length) { return update(data, length); });
}

std::optional<Sha1::Digest> Sha1Stream::final()
{
    if (!m_ok)
        return std::nullopt;
    m_ok = false;
    Sha1::Digest digest{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(m_ctx.get(), digest.data(), &length) != 1 || length != digest.size()) {
        ERR_clear_error();
        return std::nullopt;
    }
    return digest;
}

} // namespace qpm
