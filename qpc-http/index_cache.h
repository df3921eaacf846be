#pragma once
// The cached indexes below /var/cache/qpm/qpc-http (under the system root),
// one directory per repository: QPKINDEX as the mirror served it, its
// validators for the next conditional request, and partial package files.
#include "http_conf.h"
#include "package/qpk_index.h"

#include <optional>
#include <string>

namespace qpm::http {

// "<root>/var/cache/qpm/qpc-http/<repository>"
std::string cache_dir(const Repository &repository);
// Where a package file of the repository is downloaded to before it is used.
std::string partial_path(const Repository &repository, const std::string &file_name);
// Makes the cache directory of the repository and its partial/ directory.
bool make_cache_dirs(const Repository &repository, std::string &error);

// Fetches the index of `repository` from the first mirror that serves one we
// can use: signed by a certificate of `certstore`, well formed, and not older
// than the cached one. Only such an index replaces the cached one. false
// (with the reasons logged) when no mirror served one.
bool refresh_repository(const Repository &repository, const Settings &settings, const std::string &certstore);

// The cached index, its signature checked again; nullopt with the reason in
// `error` when there is none or it does not verify.
std::optional<QpkIndex> load_index(const Repository &repository, const std::string &certstore, std::string &error);

} // namespace qpm::http
