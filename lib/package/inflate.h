#pragma once
// Gzip members to their plain bytes, so that libarchive is handed the raw
// cpio of a payload. Built with ISA-L's inflate where the build has it
// (several times zlib's speed on the same data), with zlib's otherwise;
// both check every member's CRC and length.
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace qpm {

class GzipInflater {
public:
    GzipInflater();
    ~GzipInflater();
    GzipInflater(const GzipInflater &) = delete;
    GzipInflater &operator=(const GzipInflater &) = delete;

    // Whether `head` begins with a gzip member's magic.
    static bool starts_gzip(std::string_view head)
    {
        return head.size() >= 2 && static_cast<unsigned char>(head[0]) == 0x1f &&
               static_cast<unsigned char>(head[1]) == 0x8b;
    }
    // The library doing the work, for the record ("isa-l" or "zlib").
    static const char *engine();

    // The next compressed bytes; they must stay where they are until taken.
    void input(const unsigned char *data, size_t size);
    size_t input_left() const;
    // The first byte not taken yet (valid while input_left() > 0).
    const unsigned char *input_next() const;

    enum class Step {
        More,      // output written and/or all input taken: call again (with input when none is left)
        MemberEnd, // a member ended (its trailer checked); another may follow in the input left
        Error,     // damaged data: error() says what
    };
    // Inflates into `out`; `produced` bytes were written there.
    Step inflate(unsigned char *out, size_t size, size_t &produced);
    // Starts the next member with the input left.
    void next_member();

    const std::string &error() const { return m_error; }

private:
    struct State;
    std::unique_ptr<State> m_state;
    std::string m_error;
};

} // namespace qpm
