#pragma once
// Inventories and package records made for in-process tests.
#include "package/qpk_info.h"
#include "util/strarr.h"

#include <optional>
#include <string>

namespace qpm::test {

// The directories of an inventory, as qpm-adm boots them.
inline constexpr const char *INVENTORY_DIRS[] = {"installed", "stagearea", "fileindex", "certstore", "scriptdir"};

// Makes the directories of an inventory at `inventory` (parents included);
// false when one cannot be made.
bool make_inventory_dirs(const std::string &inventory);

// A package record in memory, as a catalogue or the inventory hands it out.
QpiPtr make_record(std::string name, std::string version, int arch = QPM_ARCH_ANY,
                   std::optional<std::string> variant = std::nullopt, StrArr deps = {},
                   std::string description = "test package");

} // namespace qpm::test
