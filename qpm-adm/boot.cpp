#include "boot.h"

#include "engine/backend.h"
#include "engine/inventory.h"
#include "ui/ui.h"
#include "util/cmd.h"
#include "util/files.h"
#include "util/raii.h"
#include "util/strarr.h"
#include "util/strfmt.h"
#include "util/sysroot.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>
#include <vector>

namespace qpm {
namespace {

namespace fs = std::filesystem;

constexpr const char *UI_TITLE = "qpm: Quendari Package Manager";
constexpr mode_t DIR_MODE = 0755;
// Package scripts run this copy; it must be executable.
constexpr int BUSYBOX_MODE = 0755;

// True when anything is at `path`, a dangling symbolic link included.
bool path_exists(const std::string &path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

std::string option_or(const Ekva *options, const char *key, const char *def)
{
    const char *value = ekva_getval(options, key);
    return value ? value : def;
}

// One line per setting: a line break in a value would smuggle further
// settings into the configuration file.
bool is_one_line(const char *key, const std::string &value)
{
    if (value.find_first_of("\r\n") == std::string::npos)
        return true;
    std::fprintf(stderr, "invalid value for %s: line breaks are not allowed\n", key);
    return false;
}

std::string shell_quote(const std::string &text)
{
    std::string quoted = "'";
    for (const char c : text) {
        if (c == '\'')
            quoted += "'\"'\"'";
        else
            quoted += c;
    }
    quoted += '\'';
    return quoted;
}

// mkdir with the missing parents made 0755; 0, or -1 with errno set.
int make_dir(std::string path, mode_t mode)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        const std::string parent = path.substr(0, slash);
        if (::mkdir(parent.c_str(), DIR_MODE) != 0 && errno != EEXIST)
            return -1;
    }
    return ::mkdir(path.c_str(), mode);
}

// mkdir -p that records each directory it made, so a failure can take
// them back (last first); 0, or -1 with errno set.
int make_dirs_recorded(const std::string &path, std::vector<std::string> &made)
{
    std::string partial;
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        partial = path.substr(0, slash);
        if (!partial.empty() && !path_exists(partial)) {
            if (::mkdir(partial.c_str(), DIR_MODE) != 0)
                return -1;
            made.push_back(partial);
        }
        if (slash == std::string::npos)
            return 0;
    }
}

std::string base_name(const std::string &path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The backend is only loaded (its five entry points bound), not connected.
int check_backend(const std::string &value)
{
    const std::string name = base_name(value);
    const std::string path = strprintf("%s/%s", root_path(syspath::plugin_dir).c_str(), name.c_str());
    SharedLibrary library = qpm_qpc_load(path);
    if (!library) {
        std::fprintf(stderr, "Failed to load catalogue backend %s\n", name.c_str());
        return -1;
    }
    qpm_qpc_close(library);
    return 0;
}

// 1 yes, 0 no, -1 when the interface cannot start.
int confirm(const std::string &root, const std::string &dist_name, const std::string &dist_vers,
            const std::string &machine)
{
    std::fflush(stderr);
    if (!qpmui)
        qpmui = qpmui_init(UI_TITLE, 0);
    if (!qpmui) {
        std::fputs("Failed to initialize user interface\n", stderr);
        return -1;
    }
    QpmUi *ui = qpmui.get();
    qpmui_write(ui, qpmui_text_printf(ui, "Inventory root: %s\n", root.c_str()));
    qpmui_write(ui, qpmui_text_printf(ui, "Distribution  : %s-%s\n", dist_name.c_str(), dist_vers.c_str()));
    qpmui_write(ui, qpmui_text_printf(ui, "Architecture  : %s\n\n", machine.c_str()));
    return qpmui_yesno(ui, "Do you want to initialize this inventory", 1) == 1 ? 1 : 0;
}

// Made exclusively: a file that appeared since the existence check is not
// overwritten. A partly written file is removed again.
int write_config(const std::string &path, const std::string &machine, const std::string &dist_name,
                 const std::string &dist_vers, const char *backend)
{
    FilePtr file = fopen_cloexec(path, "wx");
    if (!file) {
        const int err = errno;
        std::fprintf(stderr, "failed open %s for writing: %s\n", path.c_str(), std::strerror(err));
        return -1;
    }
    bool written = std::fprintf(file.get(), "arch_name      = %s\n", machine.c_str()) >= 0 &&
                   std::fprintf(file.get(), "dist_name      = %s\n", dist_name.c_str()) >= 0 &&
                   std::fprintf(file.get(), "dist_vers      = %s\n", dist_vers.c_str()) >= 0;
    if (written && backend)
        written = std::fprintf(file.get(), "qpc_backend    = %s\n", backend) >= 0;
    written = std::fflush(file.get()) == 0 && written;
    const int err = errno;
    if (std::fclose(file.release()) != 0 || !written) {
        std::fprintf(stderr, "failed to write %s: %s\n", path.c_str(), std::strerror(err));
        ::unlink(path.c_str());
        return -1;
    }
    return 0;
}

// busybox links every applet to the absolute path of its binary, a host
// path that names nothing once a system root is entered. A link relative to
// the copy beside it works from the host and from inside the root alike.
int relink_applets(const std::string &scriptdir, const std::string &busybox)
{
    std::error_code ec;
    std::vector<fs::path> applets;
    for (fs::directory_iterator it(scriptdir, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code entry_ec;
        if (it->is_symlink(entry_ec) && fs::equivalent(it->path(), busybox, entry_ec))
            applets.push_back(it->path());
    }
    if (ec) {
        std::fprintf(stderr, "failed to read %s: %s\n", scriptdir.c_str(), ec.message().c_str());
        return -1;
    }
    for (const fs::path &link : applets) {
        fs::remove(link, ec);
        if (!ec)
            fs::create_symlink("busybox", link, ec);
        if (ec) {
            std::fprintf(stderr, "failed to link %s to busybox: %s\n", link.c_str(), ec.message().c_str());
            return -1;
        }
    }
    return 0;
}

// The catalogue set-up that boot makes on request, beside the inventory:
// the plug-in under the name pqpm loads and the directory list of qpc-dirs.
struct CatalogueSetup {
    std::optional<std::string> plugin_source; // qpc_plugin
    std::string plugin_target;                // <root>/usr/lib/qpm/<backend name>
    std::optional<std::string> dirs_text;     // qpc-dirs.conf, from qpc_dirs
    std::string dirs_conf;                    // <root>/etc/qpc-dirs.conf
};

bool refuse_existing(const std::string &path)
{
    if (!path_exists(path))
        return false;
    std::fprintf(stderr, "file or directory %s already exist, refusing\n", path.c_str());
    return true;
}

// Checks the catalogue options before anything is made: the plug-in must
// load, and neither file may be there yet.
std::optional<CatalogueSetup> catalogue_setup(const Ekva *options, const char *backend)
{
    CatalogueSetup setup;
    if (const char *plugin = ekva_getval(options, BOOT_QPC_PLUGIN)) {
        if (!is_one_line(BOOT_QPC_PLUGIN, plugin))
            return std::nullopt;
        SharedLibrary library = qpm_qpc_load(plugin);
        if (!library) {
            std::fprintf(stderr, "Failed to load catalogue backend %s\n", plugin);
            return std::nullopt;
        }
        qpm_qpc_close(library);
        setup.plugin_source = plugin;
        setup.plugin_target = strprintf("%s/%s", root_path("/usr/lib/qpm").c_str(),
                                        backend ? base_name(backend).c_str() : BOOT_DEFAULT_BACKEND);
        if (refuse_existing(setup.plugin_target))
            return std::nullopt;
    }
    if (const char *dirs = ekva_getval(options, BOOT_QPC_DIRS)) {
        if (!is_one_line(BOOT_QPC_DIRS, dirs))
            return std::nullopt;
        // pqpm runs elsewhere: a relative directory is taken from here.
        std::string text;
        for (const std::string &dir : str2arr(dirs, ':')) {
            std::error_code ec;
            const fs::path absolute = fs::absolute(dir, ec);
            text += (ec ? fs::path(dir) : absolute).lexically_normal().string() + "\n";
        }
        setup.dirs_text = std::move(text);
        setup.dirs_conf = root_path("/etc/qpc-dirs.conf");
        if (refuse_existing(setup.dirs_conf))
            return std::nullopt;
    }
    return setup;
}

int write_new_file(const std::string &path, const std::string &text)
{
    FilePtr file = fopen_cloexec(path, "wx");
    bool written = file && std::fwrite(text.data(), 1, text.size(), file.get()) == text.size();
    const int err = errno;
    if (!file || std::fclose(file.release()) != 0 || !written) {
        std::fprintf(stderr, "failed to write %s: %s\n", path.c_str(), std::strerror(err));
        return -1;
    }
    return 0;
}

std::string parent_dir(const std::string &path) { return fs::path(path).parent_path().string(); }

} // namespace

int qpm_boot(const std::string &root, const std::string &conf_path, const Ekva *options,
             const BootFlags &flags)
{
    for (const std::string *path : {&root, &conf_path}) {
        if (path_exists(*path)) {
            std::fprintf(stderr, "file or directory %s already exist, refusing\n", path->c_str());
            return -1;
        }
    }

    struct utsname machine_info {};
    if (::uname(&machine_info) != 0) {
        const int err = errno;
        std::fprintf(stderr, "failed to get machine information: %s\n", std::strerror(err));
        return -1;
    }
    const std::string machine = machine_info.machine;

    const std::string dist_name = option_or(options, "dist_name", BOOT_DIST_NAME);
    const std::string dist_vers = option_or(options, "dist_vers", BOOT_DIST_VERS);
    const std::string busybox = option_or(options, "qpm_busybox", BOOT_BUSYBOX);
    struct stat busybox_st {};
    if (::stat(busybox.c_str(), &busybox_st) != 0) {
        const int err = errno;
        std::fprintf(stderr, "failed to find busybox at %s: %s\n", busybox.c_str(), std::strerror(err));
        return -1;
    }
    const char *backend = ekva_getval(options, "qpc_backend");
    if (!is_one_line("dist_name", dist_name) || !is_one_line("dist_vers", dist_vers) ||
        (backend && !is_one_line("qpc_backend", backend)))
        return -1;

    const std::optional<CatalogueSetup> catalogue = catalogue_setup(options, backend);
    if (!catalogue)
        return -1;
    // A plug-in given with qpc_plugin was loaded where it is; it becomes the backend.
    if (backend && !catalogue->plugin_source && check_backend(backend) != 0)
        return -1;

    if (!flags.force) {
        const int answer = confirm(root, dist_name, dist_vers, machine);
        if (answer < 0)
            return -1;
        if (answer == 0)
            return 0;
    }

    std::fprintf(stderr, "Creating qpm inventory for %s-%s (%s) at %s...", dist_name.c_str(),
                 dist_vers.c_str(), machine.c_str(), root.c_str());

    // From here on a failure takes back everything boot made.
    bool made_root = false;
    std::vector<std::string> made_files;
    std::vector<std::string> made_dirs;
    QpmPtr qpm;
    ScopeGuard undo([&] {
        if (qpm)
            qpm_close(std::move(qpm));
        if (made_root) {
            std::error_code ec;
            fs::remove_all(root, ec);
        }
        for (const std::string &file : made_files)
            ::unlink(file.c_str());
        for (auto dir = made_dirs.rbegin(); dir != made_dirs.rend(); ++dir)
            ::rmdir(dir->c_str());
    });
    // An image root gets the directories of its configuration and its log.
    auto make_parent = [&](const std::string &path) {
        if (make_dirs_recorded(path, made_dirs) == 0)
            return true;
        const int err = errno;
        std::fprintf(stderr, "failed to create %s: %s\n", path.c_str(), std::strerror(err));
        return false;
    };
    if (have_system_root() && !make_parent(parent_dir(conf_path)))
        return -1;
    if (write_config(conf_path, machine, dist_name, dist_vers, backend) != 0)
        return -1;
    made_files.push_back(conf_path);
    if (have_system_root() && !make_parent(root_path("/var/log")))
        return -1;
    if (catalogue->dirs_text) {
        if (!make_parent(parent_dir(catalogue->dirs_conf)) ||
            write_new_file(catalogue->dirs_conf, *catalogue->dirs_text) != 0)
            return -1;
        made_files.push_back(catalogue->dirs_conf);
    }
    if (catalogue->plugin_source) {
        if (!make_parent(parent_dir(catalogue->plugin_target)))
            return -1;
        made_files.push_back(catalogue->plugin_target);
        if (file_copy(catalogue->plugin_target, *catalogue->plugin_source, 0755) <= 0) {
            std::fprintf(stderr, "Failed to install catalogue backend to %s\n", catalogue->plugin_target.c_str());
            return -1;
        }
    }

    if (!make_parent(parent_dir(root)))
        return -1;
    if (make_dir(root, DIR_MODE) != 0) {
        const int err = errno;
        std::fprintf(stderr, "failed to create %s: %s\n", root.c_str(), std::strerror(err));
        return -1;
    }
    made_root = true;

    qpm = qpm_open(root.c_str(), conf_path.c_str());
    if (!qpm) {
        std::fputs("qpm_open failed on newly created inventory", stderr);
        return -1;
    }
    if (flags.verbose)
        std::fprintf(stderr, "Created and opened inventory at %s\n", root.c_str());

    // The inventory directories, in the order they are made.
    const InventoryDirs &dirs = qpm->dirs;
    for (const std::string *dir : {&dirs.stagearea, &dirs.installed, &dirs.certstore, &dirs.fileindex,
                                   &dirs.scriptdir}) {
        if (::mkdir(dir->c_str(), DIR_MODE) != 0) {
            const int err = errno;
            std::fprintf(stderr, "failed to create %s: %s\n", dir->c_str(), std::strerror(err));
            return -1;
        }
    }

    const std::string &scriptdir = dirs.scriptdir;
    const std::string target = strprintf("%s/busybox", scriptdir.c_str());
    if (file_copy(target, busybox, BUSYBOX_MODE) <= 0) {
        std::fprintf(stderr, "Failed to install busybox to %s\n", target.c_str());
        return -1;
    }

    const std::string command =
        strprintf("%s --install -s %s", shell_quote(target).c_str(), shell_quote(scriptdir).c_str());
    std::fflush(stdout);
    std::fflush(stderr);
    if (cmd_run_system(command) != 0) {
        std::fprintf(stderr, "Failed to configure busybox using: %s\n", command.c_str());
        return -1;
    }
    if (relink_applets(scriptdir, target) != 0) {
        std::fprintf(stderr, "Failed to configure busybox using: %s\n", command.c_str());
        return -1;
    }

    std::fputs("done\n", stderr);
    undo.dismiss();
    qpm_close(std::move(qpm));
    return 0;
}

} // namespace qpm
