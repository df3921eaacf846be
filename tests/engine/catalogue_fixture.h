#pragma once
// Test support for the search and dependency tests: a catalogue cache filled
// for one test and an inventory of the test's own.
#include "engine/search.h"
#include "support/hostile_archive.h"
#include "support/inventory_fixture.h"
#include "support/test_support.h"

#include <optional>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <utility>

namespace qpm::test::catalogue {

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
    out->push_back(make_record("from-backend", "1.0"));
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
        make_inventory_dirs(m_dir.path());
        m_handle.dirs = {m_dir / "installed", m_dir / "stagearea", m_dir / "fileindex", m_dir / "certstore",
                         m_dir / "scriptdir"};
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
    // The file index of an installed package (with the install record it
    // counts by); `recorded` false: a registration that never finished.
    void index(const std::string &name, const std::string &lines, bool recorded = true)
    {
        write_file(dir("fileindex") + "/" + name, lines);
        const std::string record = dir("installed") + "/" + name + "/inst.txt";
        if (recorded && !std::filesystem::exists(record)) {
            std::filesystem::create_directories(dir("installed") + "/" + name);
            write_file(record, "eqpkInstallTime: 1\n");
        }
    }

private:
    ScratchDir m_dir;
    qpm_handle m_handle;
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
