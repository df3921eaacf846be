#pragma once
// The catalogue: every package the backend offers, searched through the
// backend or through the cache filled from it once per run, and the rules
// of `qpm_findone` that pick one build among all builds of a name.
#include "engine/backend.h"
#include "package/handle.h"
#include "package/qpk_info.h"

#include <optional>
#include <string>

namespace qpm {

// The selector every engine search hands to the backend.
constexpr int QPM_SELECTOR = 5;

// The catalogue cache: every package the backend offers, sorted by name,
// filled once per run by the front end. Empty means "not filled": searches
// then go to the backend.
extern QpiList qpc_cache;

// The full catalogue, as the backend gives it (empty when it offers nothing).
QpiList qpm_qpc_cache_fill(QpcConnection connection);

// Releases every record of `cache` and empties it; a null pointer is ignored.
void qpm_cache_free(QpiList *cache);

// Catalogue records passing `qpm_qpi_match` (kind 1), as copies sorted by
// name, into `out`; returns their number. Searches the cache when it is
// filled, the backend otherwise; a null connection finds nothing.
int qpm_findpkg(QpcConnection connection, const std::optional<std::string> &pattern,
                const std::optional<std::string> &variant, const std::optional<std::string> &version,
                int selector, const Ekva *attributes, QpiList &out);

// Among the records of `list` named exactly `name`, the index of the one the
// variant and version rules choose, or -1. `variant`: nullopt asks for none
// (the default variant, or failing that one single other variant), "" or
// "default" for the default variant only, anything else for that variant.
int qpm_findone(const std::string &name, const std::optional<std::string> &variant, const QpiList &list);

// The catalogue build of `name` that `qpm_findone` chooses among those of an
// architecture the inventory accepts ("any" or the handle's), or null.
QpiPtr qpm_findone_qpc(const qpm_handle *qpm, const std::string &name, const std::optional<std::string> &variant,
                       const std::optional<std::string> &version, QpcConnection connection);

// Catalogue records whose name is not installed (with `newest`, only the
// build `qpm_findone` would choose for its name and variant), copied into
// `out`; returns their number.
int qpm_findpkg_new(const qpm_handle *qpm, QpcConnection connection, const std::optional<std::string> &pattern,
                    const std::optional<std::string> &variant, const Ekva *attributes, int newest, QpiList &out);

// "installed", "available remotely", "available locally" for 'I', 'R', 'L';
// "unavailable" for anything else.
const char *qpk_stat_desc(char status);

} // namespace qpm
