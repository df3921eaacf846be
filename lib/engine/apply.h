#pragma once
// The phase that changes the system: a staged package's data files,
// configuration files, links and modes go into place through the file
// transaction, which can undo every step.
#include "util/strarr.h"

namespace qpm {

struct qpm_handle;
struct qpk_info;
struct StagedPackage;
class FileTransaction;

// Installs the data files `final_files` (the staged files are moved into
// place), the configuration files that are missing on the system, then the
// links and modes of the package. 0, or -1 after a file could not be
// written (the caller's transaction then rolls everything back).
int apply_install(const qpm_handle *qpm, const qpk_info &qpi, const StagedPackage &staged,
                  const StrArr &final_files, FileTransaction &files, bool talk);

// Links and modes of the package; their results are logged, never fatal.
void apply_links_and_modes(const StagedPackage &staged, FileTransaction &files, const char *who);

} // namespace qpm
