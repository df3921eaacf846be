#pragma once
// The inventory handle's data: target architecture, distribution identity,
// the inventory's directories and the hook definitions. The package layer
// reads it (the keystore for signature checks); the engine opens, locks and
// closes it (engine/inventory.h).
#include "record/ekva.h"
#include "util/raii.h"

#include <memory>
#include <optional>
#include <string>

namespace qpm {

// The sub-directories of an inventory, built once when it is opened. An
// empty path means "not set" (handles made by hand in tests set only what
// they use).
struct InventoryDirs {
    std::string installed; // one directory per installed package
    std::string stagearea; // fetched package files and their stage directories
    std::string fileindex; // one file index per package with data files
    std::string certstore; // trusted signer certificates
    std::string scriptdir; // the inventory's busybox and its applets

    // The designed key/value form, for what prints the directories.
    EkvaPtr to_ekva() const;
};

struct qpm_handle {
    int arch = 0;
    int locked = 0;
    std::string root;
    std::string conf_path;
    std::optional<std::string> dist_name;
    std::optional<std::string> dist_vers;
    // qpm_unsigned_header=yes: a package without a signed copy of its
    // description (info/desc.txt) is taken on its unsigned header.
    bool unsigned_header = false;
    InventoryDirs dirs;
    EkvaList hooks;   // hook definitions; empty when there are none
    UniqueFd lock_fd; // held while locked

    qpm_handle() = default;
    qpm_handle(const qpm_handle &) = delete;
    qpm_handle &operator=(const qpm_handle &) = delete;
    // A handle that goes away without qpm_close still gives its lock up.
    ~qpm_handle();
};

using QpmPtr = std::unique_ptr<qpm_handle>;

} // namespace qpm
