#pragma once
// Owners of libarchive objects (see util/raii.h for the others).
#include "util/raii.h"
#include "util/raii_archive.h"

#include <memory>

#include <archive.h>
#include <archive_entry.h>

namespace qpm {

// libarchive objects. Disk writers (archive_write_disk_new) are freed like
// any writer, disk readers like any reader. Entries handed out by
// archive_read_next_header belong to their archive and are never wrapped.
using ArchiveReadPtr = std::unique_ptr<archive, Deleter<&archive_read_free>>;
using ArchiveWritePtr = std::unique_ptr<archive, Deleter<&archive_write_free>>;
using ArchiveEntryPtr = std::unique_ptr<archive_entry, Deleter<&archive_entry_free>>;

} // namespace qpm
