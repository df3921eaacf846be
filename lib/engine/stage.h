#pragma once
// The first phase of installing or updating one package: the staged package
// file is unpacked into its stage directory with the signature checked,
// every unpacked file is verified against the package's hash lists, and the
// header description is compared with the signed copy in the payload.
// Nothing on the system changes here.
#include "util/strarr.h"

#include <string>

namespace qpm {

struct qpm_handle;
struct qpk_info;

// The working paths of one package (see the inventory layout).
struct PackagePaths {
    std::string name;
    std::string puname;
    std::string staged;      // STAGEAREA/PUNAME.qpk
    std::string stage_dir;   // STAGEAREA/PUNAME
    std::string new_tree;    // STAGEAREA/PUNAME/new
    std::string backup;      // STAGEAREA/PUNAME/old
    std::string scriptdir;   // the inventory's busybox
    std::string package_dir; // INSTALLED/NAME
    std::string file_index;  // FILEINDEX/NAME
    std::string old_record;  // INSTALLED/.NAME.old
    std::string new_record;  // INSTALLED/.NAME.new
    std::string old_index;   // FILEINDEX/.NAME.old
    std::string new_index;   // FILEINDEX/.NAME.new
};

// The verified paths of each tree of an unpacked package, relative to the
// tree with a leading '/' (also the paths on the target system).
struct PackageFiles {
    StrArr data, info, init, conf, dump;
};

// An unpacked, verified package in its stage directory.
struct StagedPackage {
    PackagePaths paths;
    PackageFiles files;
    std::string description; // the header's description, as it stands in the file
};

// Which operation stages: its messages name it.
enum class StageFor { Install, Update };

// The paths of `qpi` in the inventory of `qpm`; false when the handle lacks
// a directory.
bool package_paths(const qpm_handle *qpm, const qpk_info &qpi, PackagePaths &out);

// Clears what an earlier, interrupted run left in the stage directory, then
// unpacks and verifies the staged file into `out` and checks its header
// against the signed description. 0, or the failing step's result (the
// stage directory is then removed).
int stage_package(const qpm_handle *qpm, const qpk_info &qpi, StageFor who, bool talk, StagedPackage &out);

// Removes the stage directory when it goes out of scope, unless kept: its
// fixed directories are kept, empty, as the spare that the next stage of
// the run takes (stage_package) instead of making them again.
class StageDirectory {
public:
    explicit StageDirectory(std::string path) : m_path(std::move(path)) {}
    StageDirectory(const StageDirectory &) = delete;
    StageDirectory &operator=(const StageDirectory &) = delete;
    ~StageDirectory();
    void keep() { m_keep = true; }

private:
    std::string m_path;
    bool m_keep = false;
};

// Removes the spare stage (at the end of a run, and what a stopped run
// left).
void drop_spare_stage(const qpm_handle *qpm);

} // namespace qpm
