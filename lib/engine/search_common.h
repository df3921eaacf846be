#pragma once
// What the catalogue, the local package files, the installed inventory and
// the file-owner index share: the texts their messages print, the
// architecture and variant tests, the inventory directories of a handle that
// may be null, and small file helpers. Internal to lib/engine.
#include "package/handle.h"
#include "package/qpk_info.h"
#include "util/strarr.h"
#include "util/text.h"

#include <cstddef>
#include <cstdio>
#include <optional>
#include <string>

namespace qpm::search_detail {

// The longest path the designed look-ups build.
constexpr size_t QPM_PATH_MAX = 4096;

// The text, or "(null)" for none, as the messages print it.

// The name of architecture `id`, or "(null)".
const char *arch_text(int id);

bool has_variant(const qpk_info &qpi);

// Whether `variant` asks for the default variant ("" or "default").
bool is_default_request(const std::optional<std::string> &variant);

// A build the inventory can take: "any" or the inventory's own architecture.
bool arch_acceptable(const qpm_handle *qpm, const qpk_info &qpi);

// The handle's architecture, 0 without a handle.
int local_arch(const qpm_handle *qpm);

// The handle's directories; all empty without a handle.
const InventoryDirs &dirs_of(const qpm_handle *qpm);

// stat(2) of `path` (links followed) gives a directory, a regular file.
bool is_directory(const std::string &path);
bool is_regular(const std::string &path);

// Lines of a stream without their line feeds, whatever their length.
StrArr read_lines(FILE *stream);

// The designed arrays get room for a first number of entries and double it
// when full; the log tells when. before_store returns 1 when the room was
// just made, 2 when it was just doubled, else 0.
class Growth {
public:
    explicit Growth(int first) : m_first(first) {}
    int before_store(int count)
    {
        if (m_capacity == 0) {
            m_capacity = m_first;
            return 1;
        }
        if (count >= m_capacity) {
            m_capacity *= 2;
            return 2;
        }
        return 0;
    }
    int capacity() const { return m_capacity; }

private:
    int m_first;
    int m_capacity = 0;
};

} // namespace qpm::search_detail
