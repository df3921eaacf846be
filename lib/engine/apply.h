#pragma once
// The phase that changes the system: a staged package's data files,
// configuration files, links and modes go into place through the file
// transaction, which can undo every step.
#include "util/strarr.h"

namespace qpm {

// Beside a configuration file the administrator changed, the version an
// update brought: PATH.qpk-new.
constexpr const char *QPM_CONF_NEW_SUFFIX = ".qpk-new";

struct qpm_handle;
struct qpk_info;
struct StagedPackage;
class FileTransaction;
enum class StageFor;

// Installs the data files `final_files` (the staged files are moved into
// place), the configuration files that are missing on the system, then the
// links and modes of the package. 0, or -1 after a file could not be
// written (the caller's transaction then rolls everything back).
int apply_install(const qpm_handle *qpm, const qpk_info &qpi, const StagedPackage &staged,
                  const StrArr &final_files, FileTransaction &files, bool talk);

// The files of an update: `delete_files` (old files the new version no
// longer ships) are saved and removed, `add_files` put in place, and each
// configuration file follows the rules: missing -> installed; as the
// installed version shipped it -> overwritten; changed by the administrator,
// or no shipped copy to compare with -> kept, with the new one written
// beside a changed file as PATH.qpk-new. Then links and modes. 0, or -1.
int apply_update(const qpm_handle *qpm, const qpk_info &qpi, const StagedPackage &staged,
                 const StrArr &delete_files, const StrArr &add_files, FileTransaction &files, bool talk);

// Links and modes of the package; their results are logged, never fatal.
void apply_links_and_modes(const StagedPackage &staged, FileTransaction &files, StageFor who);

} // namespace qpm
