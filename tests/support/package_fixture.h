#pragma once
// Packages made during a test: a small description in the test becomes a
// package source directory (qpk.conf and the trees), built with the package
// builder into a .qpk signed by a test signer, or unsigned.
#include "support/certs.h"

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace qpm::test {

struct FixtureFile {
    std::string path; // below the source: "data/usr/bin/x", "conf/etc/x.conf", "init/00-add.sh"
    std::string content;
    mode_t mode = 0644;
};

struct FixtureLink {
    std::string path;   // below the source, in data/: "data/usr/lib/libx.so"
    std::string target; // as the link holds it: "libx.so.1"
};

struct PackageSpec {
    std::string name;
    std::string version = "1.0";
    std::string arch = "any";
    std::optional<std::string> variant;
    std::optional<std::string> creator = std::string("qpm tests");
    std::string description = "test package";
    std::vector<std::string> depends;
    std::vector<FixtureFile> files;
    std::vector<FixtureLink> links;
    // Lines appended to qpk.conf as they are (for descriptions the fields
    // above cannot express).
    std::vector<std::string> extra_conf;

    PackageSpec &file(std::string path, std::string content, mode_t mode = 0644)
    {
        files.push_back({std::move(path), std::move(content), mode});
        return *this;
    }
    PackageSpec &link(std::string path, std::string target)
    {
        links.push_back({std::move(path), std::move(target)});
        return *this;
    }
    // A script of init/, e.g. script("99-add.sh", "echo done > /etc/marker\n").
    PackageSpec &script(const std::string &name, std::string text)
    {
        return file("init/" + name, std::move(text), 0755);
    }
};

// The qpk.conf text of `pkg_spec`.
std::string package_conf(const PackageSpec &pkg_spec);

// Writes the package source of `pkg_spec` into `dir` (made with its parents).
// Returns false, with a test failure, when something cannot be written.
bool write_package_source(const PackageSpec &pkg_spec, const std::string &dir);

// Builds `pkg_spec` into `out_dir`, signed by `signer` (unsigned when null), from
// a source written to a temporary directory. Returns the package path; empty
// on failure, with the builder's message in `error` when given, else a test
// failure.
std::string build_package(const PackageSpec &pkg_spec, const std::string &out_dir, const Signer *signer,
                          std::string *error = nullptr);

// NAME at VERSION with one data file, /usr/share/NAME/version, that says
// which version is installed.
inline PackageSpec versioned_package(const std::string &name, const std::string &version,
                                     std::vector<std::string> depends = {})
{
    PackageSpec pkg_spec;
    pkg_spec.name = name;
    pkg_spec.version = version;
    pkg_spec.depends = std::move(depends);
    pkg_spec.file("data/usr/share/" + name + "/version", version + "\n");
    return pkg_spec;
}

} // namespace qpm::test
