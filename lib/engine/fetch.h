#pragma once
// Bringing package files into the stage area before a transaction starts:
// from the catalogue through the backend (skipped when an intact copy is
// staged already) or by copying a local package file.
#include "engine/backend.h"

#include <string>

namespace qpm {

struct qpk_info;

// Which run fetches, and for what: the messages name it.
enum class FetchFor { Install, Update, UpdateDependency };

// STAGEAREA/PUNAME.qpk of `qpi`.
std::string staged_file(const std::string &stagearea, const qpk_info &qpi);

// Stages the package file of `qpi`: from the catalogue for source 'R', by
// copying its local file for 'L'. 0, or -1 after the designed message
// (nothing short or stale is left staged).
int fetch_package(const qpk_info &qpi, char source, const std::string &stagearea, QpcConnection connection,
                  FetchFor who, bool talk);

// Removes the staged file of `qpi` (the fastclean option).
void clean_staged(const std::string &stagearea, const qpk_info &qpi);

} // namespace qpm
