// The archive index of a package file: its payload's data paths.
#include "package/qpf.h"

#include "util/log.h"
#include "util/raii.h"
#include "util/raii_archive.h"

#include <archive.h>
#include <archive_entry.h>
#include <cstring>

namespace qpm {

std::optional<StrArr> qpm_qpf_index(const qpm_handle *, const std::string &path)
{
    FilePtr file = fopen_cloexec(path, "rb");
    if (!file) {
        qlog(LL_ERROR, "Failed to open %s for reading", path.c_str());
        return std::nullopt;
    }
    if (!qpm_qpf_read_header(file.get(), path))
        return std::nullopt;

    ArchiveReadPtr reader(archive_read_new());
    if (!reader || archive_read_support_filter_gzip(reader.get()) != ARCHIVE_OK ||
        archive_read_support_format_cpio(reader.get()) != ARCHIVE_OK ||
        archive_read_open_FILE(reader.get(), file.get()) != ARCHIVE_OK) {
        qlog(LL_ERROR, "Failed to read archive by archive_read_open_FILE");
        return std::nullopt;
    }
    size_t room = 20;
    qlog(LL_DEBUG, "Allocating space for %d entries", static_cast<int>(room));
    StrArr paths;
    paths.reserve(room);
    // Only the end of the archive ends the list well: a payload that breaks
    // off or cannot be read gives no list rather than part of one.
    for (;;) {
        archive_entry *entry = nullptr;
        const int rc = archive_read_next_header(reader.get(), &entry);
        if (rc == ARCHIVE_EOF)
            break;
        if (rc != ARCHIVE_OK && rc != ARCHIVE_WARN) {
            qlog(LL_ERROR, "Failed to parse archive by archive_read_open_FILE");
            return std::nullopt;
        }
        const char *name = archive_entry_pathname(entry);
        if (name && std::strncmp(name, "data/", 5) == 0) {
            if (paths.size() == room) {
                room *= 2;
                qlog(LL_DEBUG, "Reallocation space for %d entries", static_cast<int>(room));
                paths.reserve(room);
            }
            paths.emplace_back(name + 4);
        }
        if (archive_read_data_skip(reader.get()) != ARCHIVE_OK) {
            qlog(LL_ERROR, "Failed to parse archive by archive_read_open_FILE");
            return std::nullopt;
        }
    }
    return paths;
}

} // namespace qpm
