#include "package/inflate.h"

#include "util/strfmt.h"

#include <climits>

#ifdef QPM_HAVE_ISAL
#include <isa-l/igzip_lib.h>
#else
#include <zlib.h>
#endif

namespace qpm {

#ifdef QPM_HAVE_ISAL

struct GzipInflater::State {
    inflate_state isal; // 85 KiB the library sets up itself: not cleared first
};

GzipInflater::GzipInflater() : m_state(std::make_unique_for_overwrite<State>())
{
    isal_inflate_init(&m_state->isal);
    m_state->isal.crc_flag = ISAL_GZIP;
}

GzipInflater::~GzipInflater() = default;

const char *GzipInflater::engine() { return "isa-l"; }

void GzipInflater::input(const unsigned char *data, size_t size)
{
    m_state->isal.next_in = const_cast<unsigned char *>(data); // read only, as the library's own API says
    m_state->isal.avail_in = static_cast<uint32_t>(size);
}

size_t GzipInflater::input_left() const { return m_state->isal.avail_in; }
const unsigned char *GzipInflater::input_next() const { return m_state->isal.next_in; }

GzipInflater::Step GzipInflater::inflate(unsigned char *out, size_t size, size_t &produced)
{
    inflate_state &s = m_state->isal;
    s.next_out = out;
    s.avail_out = static_cast<uint32_t>(size > UINT32_MAX ? UINT32_MAX : size);
    const uint32_t before = s.avail_out;
    const int rc = isal_inflate(&s);
    produced = before - s.avail_out;
    if (rc < 0) {
        m_error = rc == ISAL_INCORRECT_CHECKSUM ? "gzip data failed its check (CRC or length)"
                  : rc == ISAL_INVALID_WRAPPER  ? "not a valid gzip header"
                                                : strprintf("damaged gzip data (inflate error %d)", rc);
        return Step::Error;
    }
    return s.block_state == ISAL_BLOCK_FINISH ? Step::MemberEnd : Step::More;
}

void GzipInflater::next_member()
{
    inflate_state &s = m_state->isal;
    unsigned char *next = s.next_in;
    const uint32_t left = s.avail_in;
    isal_inflate_reset(&s);
    s.crc_flag = ISAL_GZIP;
    s.next_in = next;
    s.avail_in = left;
}

#else

struct GzipInflater::State {
    z_stream z{};
    bool ready = false;
    ~State()
    {
        if (ready)
            inflateEnd(&z);
    }
};

GzipInflater::GzipInflater() : m_state(std::make_unique<State>())
{
    m_state->ready = inflateInit2(&m_state->z, 16 + MAX_WBITS) == Z_OK; // gzip wrapper only
}

GzipInflater::~GzipInflater() = default;

const char *GzipInflater::engine() { return "zlib"; }

void GzipInflater::input(const unsigned char *data, size_t size)
{
    m_state->z.next_in = const_cast<unsigned char *>(data); // read only, as zlib's own API says
    m_state->z.avail_in = static_cast<uInt>(size);
}

size_t GzipInflater::input_left() const { return m_state->z.avail_in; }
const unsigned char *GzipInflater::input_next() const { return m_state->z.next_in; }

GzipInflater::Step GzipInflater::inflate(unsigned char *out, size_t size, size_t &produced)
{
    z_stream &z = m_state->z;
    if (!m_state->ready) {
        m_error = "cannot start inflating";
        return Step::Error;
    }
    z.next_out = out;
    z.avail_out = static_cast<uInt>(size > UINT_MAX ? UINT_MAX : size);
    const uInt before = z.avail_out;
    const int rc = ::inflate(&z, Z_NO_FLUSH);
    produced = before - z.avail_out;
    if (rc == Z_STREAM_END)
        return Step::MemberEnd;
    if (rc == Z_OK || rc == Z_BUF_ERROR)
        return Step::More;
    m_error = z.msg ? strprintf("damaged gzip data: %s", z.msg) : "damaged gzip data";
    return Step::Error;
}

void GzipInflater::next_member()
{
    if (m_state->ready)
        inflateReset(&m_state->z);
}

#endif

} // namespace qpm
