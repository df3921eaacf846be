#include "engine/inventory.h"

#include "engine/hooks.h"
#include "engine/pending.h"
#include "engine/stage.h"
#include "package/qpk_info.h"
#include "record/lconf.h"
#include "util/rootfs.h"
#include "util/strfmt.h"
#include "util/sysroot.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qpm {
namespace {

bool same_file(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool write_all_at(int fd, const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::pwrite(fd, text.data() + done, text.size() - done, static_cast<off_t>(done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Removes the lock file while the descriptor still holds the lock, so that
// no other run can take the old file in between; then lets the lock go.
int release_lock(qpm_handle &qpm)
{
    if (qpm.locked != 1)
        return 0;
    if (::unlink(qpm_lock_path(&qpm).c_str()) != 0)
        return -1;
    qpm.lock_fd.reset();
    qpm.locked = 0;
    return 0;
}

} // namespace

EkvaPtr InventoryDirs::to_ekva() const
{
    EkvaPtr out = ekva_new(8, 3);
    ekva_addval(out, "installed", installed, EKVA_APPEND);
    ekva_addval(out, "stagearea", stagearea, EKVA_APPEND);
    ekva_addval(out, "fileindex", fileindex, EKVA_APPEND);
    ekva_addval(out, "certstore", certstore, EKVA_APPEND);
    ekva_addval(out, "scriptdir", scriptdir, EKVA_APPEND);
    return out;
}

qpm_handle::~qpm_handle() { release_lock(*this); }

namespace {

// Under a system root, the inventory's path as this process sees it must
// name the directory that the path resolved inside the root names: a link
// on the way in the image (/var/lib -> /var/lib on the host) would move
// every record, index and lock of the root out of it. An inventory missing
// on both sides passes here; the steps that need it say so.
bool inventory_inside_root()
{
    if (!have_system_root())
        return true;
    const UniqueFd inside = root_open(syspath::inventory, O_PATH | O_DIRECTORY);
    struct stat in_root {};
    struct stat seen {};
    const bool seen_there = ::stat(root_path(syspath::inventory).c_str(), &seen) == 0;
    if (!inside)
        return errno == ENOENT && !seen_there;
    return seen_there && ::fstat(inside.get(), &in_root) == 0 && in_root.st_dev == seen.st_dev &&
           in_root.st_ino == seen.st_ino;
}

} // namespace

QpmPtr qpm_open(const char *root, const char *conf_path)
{
    const std::string root_dir = root ? std::string(root) : root_path(syspath::inventory);
    if (!root && !inventory_inside_root()) {
        std::fprintf(stderr, "The inventory %s leads out of the system root %s\n", root_dir.c_str(),
                     system_root().c_str());
        return nullptr;
    }
    const std::string conf = conf_path ? std::string(conf_path) : root_path(syspath::config);

    EkvaPtr config = lconf_read(nullptr, conf.c_str());
    if (!config) {
        std::fprintf(stderr, "Failed to read qpm config %s\n", conf.c_str());
        return nullptr;
    }

    auto qpm = std::make_unique<qpm_handle>();
    qpm->root = root_dir;
    qpm->conf_path = conf;

    const char *arch_name = ekva_getval(config.get(), "arch_name");
    if (!arch_name) {
        std::fprintf(stderr, "Failed to get arch_name from config\n");
        return nullptr;
    }
    qpm->arch = qpm_arch_getid(arch_name);
    if (qpm->arch == QPM_ARCH_UNSUPPORTED) {
        std::fprintf(stderr, "Invalid architecture specified: %s\n", arch_name);
        return nullptr;
    }
    if (const char *value = ekva_getval(config.get(), "dist_name"))
        qpm->dist_name = value;
    if (const char *value = ekva_getval(config.get(), "dist_vers"))
        qpm->dist_vers = value;
    if (const char *value = ekva_getval(config.get(), "qpm_unsigned_header"))
        qpm->unsigned_header = std::string_view(value) == "yes";

    qpm->dirs.installed = root_dir + "/installed";
    qpm->dirs.stagearea = root_dir + "/stagearea";
    qpm->dirs.fileindex = root_dir + "/fileindex";
    qpm->dirs.certstore = root_dir + "/certstore";
    qpm->dirs.scriptdir = root_dir + "/scriptdir";

    qpm->hooks = qpm_hooks_read(root_path(syspath::hooks_dir));
    return qpm;
}

int qpm_close(QpmPtr handle)
{
    int result = 0;
    if (handle && handle->locked == 1) {
        // What the run registered is on disk before another run can take
        // the lock (and before this one reports).
        if (!sync_registered(handle.get(), SyncWhen::Now))
            result = -1;
        drop_spare_stage(handle.get());
        ::unlink(qpm_lock_path(handle.get()).c_str());
    }
    // The destructor lets the lock go and frees the rest.
    if (handle)
        handle->locked = 0;
    return result;
}

std::string qpm_lock_path(const qpm_handle *qpm) { return strprintf("%.245s/lock", qpm->root.c_str()); }

int qpm_lock(qpm_handle *qpm)
{
    if (qpm->locked == 1 && qpm->lock_fd)
        return 0;
    const std::string path = qpm_lock_path(qpm);
    // The pid is written over whatever the path names: never through a link.
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0640));
    if (!fd) {
        std::fprintf(stderr, "Could not open lock file %s\n", path.c_str());
        return -1;
    }
    if (::lockf(fd.get(), F_TLOCK, 0) != 0) {
        std::fprintf(stderr, "Could not lock lock file %s\n", path.c_str());
        return -1;
    }
    // Between our open and our lock the holder may have removed the file
    // and another run may have made and locked a new one: the lock counts
    // only while the path still names the file we hold.
    struct stat held {};
    struct stat named {};
    if (::fstat(fd.get(), &held) != 0 || ::stat(path.c_str(), &named) != 0 || !same_file(held, named)) {
        std::fprintf(stderr, "Could not lock lock file %s\n", path.c_str());
        return -1;
    }
    const std::string pid = strprintf("%d\n", static_cast<int>(::getpid()));
    if (::ftruncate(fd.get(), 0) != 0 || !write_all_at(fd.get(), pid)) {
        const int saved = errno;
        std::fprintf(stderr, "Could not write lock file %s: %s\n", path.c_str(), std::strerror(saved));
        return -1;
    }
    qpm->lock_fd = std::move(fd);
    qpm->locked = 1;
    return 0;
}

int qpm_unlock(qpm_handle *qpm) { return release_lock(*qpm); }

} // namespace qpm
