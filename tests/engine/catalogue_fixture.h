#pragma once
// Test support for the search and dependency tests: catalogue records made in
// memory, a catalogue cache filled for one test, an inventory of the test's
// own and a log captured to a file.
#include "engine/search.h"
#include "support/hostile_archive.h"
#include "support/test_support.h"
#include "util/log.h"
#include "util/sysroot.h"

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <utility>

namespace qpm::test::catalogue {

// Sends the whole log to a file of the test's own.
class LogFile {
public:
    LogFile()
    {
        auto handle = std::make_unique<LogHandle>();
        handle->path = m_dir / "qpm.log";
        handle->file_mask = LL_ERROR | LL_WARNING | LL_INFO | LL_DEBUG;
        handle->syslog_mask = 0;
        handle->stderr_mask = 0;
        handle->ready = 1;
        m_saved = std::exchange(llog, std::move(handle));
    }
    ~LogFile() { llog = std::move(m_saved); }
    LogFile(const LogFile &) = delete;
    LogFile &operator=(const LogFile &) = delete;
    std::string text() const { return file_exists(m_dir / "qpm.log") ? read_file(m_dir / "qpm.log") : ""; }
    bool has(const std::string &line) const { return text().find(line) != std::string::npos; }

private:
    ScratchDir m_dir;
    LogPtr m_saved;
};

inline QpiPtr record(std::string name, std::string version, int arch = QPM_ARCH_ANY,
                     std::optional<std::string> variant = std::nullopt, StrArr deps = {})
{
    auto qpi = std::make_unique<qpk_info>();
    qpi->name = std::move(name);
    qpi->version = std::move(version);
    qpi->architecture = arch;
    qpi->variant = std::move(variant);
    qpi->description = "test package";
    qpi->dependencies = std::move(deps);
    return qpi;
}

template <class... Records>
QpiList list_of(Records... records)
{
    QpiList list;
    (list.push_back(std::move(records)), ...);
    return list;
}

inline int g_backend_calls = 0;

// A backend that offers one package, "from-backend", and counts its calls.
inline int fake_backend_findpkg(QpcConnection, const char *, const char *, const char *, int, const Ekva *,
                                QpiList *out)
{
    ++g_backend_calls;
    out->push_back(record("from-backend", "1.0"));
    return 1;
}

// Fills the catalogue cache for one test and puts the counting backend
// behind it.
class Catalogue {
public:
    explicit Catalogue(QpiList records)
    {
        m_saved_cache = std::exchange(qpc_cache, std::move(records));
        m_saved_findpkg = std::exchange(pqpm_qpc_findpkg, &fake_backend_findpkg);
        g_backend_calls = 0;
    }
    ~Catalogue()
    {
        qpc_cache = std::move(m_saved_cache);
        pqpm_qpc_findpkg = m_saved_findpkg;
    }
    Catalogue(const Catalogue &) = delete;
    Catalogue &operator=(const Catalogue &) = delete;
    QpcConnection connection() { return &m_token; }

private:
    int m_token = 0;
    QpiList m_saved_cache;
    qpc_findpkg_fn m_saved_findpkg;
};

// An inventory of the test's own: the handle and its directories.
class Inventory {
public:
    explicit Inventory(int arch = QPM_ARCH_X86_64)
    {
        m_handle.arch = arch;
        m_handle.root = m_dir.path();
        m_handle.dirs = ekva_new(5, 1);
        for (const char *key : {"installed", "stagearea", "fileindex", "certstore", "scriptdir"}) {
            mkdir((m_dir / key).c_str(), 0755);
            ekva_addval(m_handle.dirs, key, m_dir / key, EKVA_APPEND);
        }
    }
    const qpm_handle *get() const { return &m_handle; }
    std::string dir(const std::string &key) const { return m_dir / key; }

    void install(const std::string &name, const std::string &version, const StrArr &deps = {},
                 const std::string &description = "test package", const std::string &arch = "any")
    {
        Attributes attrs = {{"eqpmVersion", "2.0"},   {"eqpkName", name},
                            {"eqpkVersion", version}, {"eqpkArchitecture", arch},
                            {"eqpkDescription", description}};
        for (const std::string &dep : deps)
            attrs.emplace_back("eqpkDependency", dep);
        const std::string pkg = dir("installed") + "/" + name;
        mkdir(pkg.c_str(), 0755);
        write_file(pkg + "/desc.txt", make_description(attrs));
        write_file(pkg + "/inst.txt", "eqpkInstallTime: 1700000000\neqpkInstallType: X\n");
    }
    void index(const std::string &name, const std::string &lines) { write_file(dir("fileindex") + "/" + name, lines); }

private:
    ScratchDir m_dir;
    qpm_handle m_handle;
};

// QPM_ROOT for one test.
class SystemRoot {
public:
    explicit SystemRoot(const std::string &root)
    {
        if (const char *old = std::getenv("QPM_ROOT"))
            m_saved = old;
        setenv("QPM_ROOT", root.c_str(), 1);
        system_root_reset_for_tests();
    }
    ~SystemRoot()
    {
        if (m_saved)
            setenv("QPM_ROOT", m_saved->c_str(), 1);
        else
            unsetenv("QPM_ROOT");
        system_root_reset_for_tests();
    }
    SystemRoot(const SystemRoot &) = delete;
    SystemRoot &operator=(const SystemRoot &) = delete;

private:
    std::optional<std::string> m_saved;
};

// A package file whose description is all that matters (unsigned, empty payload).
inline std::string write_qpk(const std::string &path, const std::string &name, const std::string &version,
                             const std::string &arch = "any", std::optional<std::string> variant = std::nullopt,
                             const StrArr &deps = {})
{
    Attributes attrs = basic_attributes(name, version);
    for (auto &[key, value] : attrs)
        if (key == "eqpkArchitecture")
            value = arch;
    if (variant)
        attrs.emplace_back("eqpkVariant", *variant);
    for (const std::string &dep : deps)
        attrs.emplace_back("eqpkDependency", dep);
    write_package(path, attrs, make_payload({}));
    return path;
}

} // namespace qpm::test::catalogue
