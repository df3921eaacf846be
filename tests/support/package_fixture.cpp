#include "support/package_fixture.h"

#include "builder.h"
#include "util/raii.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <sys/stat.h>
#include <unistd.h>

namespace qpm::test {
namespace {

bool make_parent(const std::string &path)
{
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    std::error_code ec;
    std::filesystem::create_directories(parent, ec);
    if (ec) {
        ADD_FAILURE() << "cannot create " << parent << ": " << ec.message();
        return false;
    }
    return true;
}

bool write_source_file(const std::string &path, const std::string &content, mode_t mode)
{
    if (!make_parent(path))
        return false;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    out.close();
    if (!out || chmod(path.c_str(), mode) != 0) {
        ADD_FAILURE() << "cannot write " << path << ": " << std::strerror(errno);
        return false;
    }
    return true;
}

} // namespace

std::string package_conf(const PackageSpec &pkg_spec)
{
    std::string conf = "name=" + pkg_spec.name + "\nversion=" + pkg_spec.version + "\narchitecture=" + pkg_spec.arch + "\n";
    if (pkg_spec.variant)
        conf += "variant=" + *pkg_spec.variant + "\n";
    if (pkg_spec.creator)
        conf += "creator=\"" + *pkg_spec.creator + "\"\n";
    conf += "description=\"" + pkg_spec.description + "\"\n";
    for (const std::string &dep : pkg_spec.depends)
        conf += "depends=" + dep + "\n";
    for (const std::string &line : pkg_spec.extra_conf)
        conf += line + "\n";
    return conf;
}

bool write_package_source(const PackageSpec &pkg_spec, const std::string &dir)
{
    if (!write_source_file(dir + "/" + QPK_CONF_NAME, package_conf(pkg_spec), 0644))
        return false;
    for (const FixtureFile &f : pkg_spec.files) {
        if (!write_source_file(dir + "/" + f.path, f.content, f.mode))
            return false;
    }
    for (const FixtureLink &l : pkg_spec.links) {
        const std::string path = dir + "/" + l.path;
        if (!make_parent(path))
            return false;
        if (symlink(l.target.c_str(), path.c_str()) != 0) {
            ADD_FAILURE() << "cannot link " << path << ": " << std::strerror(errno);
            return false;
        }
    }
    return true;
}

std::string build_package(const PackageSpec &pkg_spec, const std::string &out_dir, const Signer *signer,
                          std::string *error)
{
    const char *tmp = std::getenv("TMPDIR");
    TempDir source(std::string(tmp && *tmp ? tmp : "/tmp") + "/qpm-pkgsrc-");
    if (!source) {
        ADD_FAILURE() << "cannot make a temporary source directory";
        return {};
    }
    if (!write_package_source(pkg_spec, source.path()))
        return {};

    PackOptions options;
    options.source_dir = source.path();
    options.output_dir = out_dir;
    if (signer) {
        options.key_pem = key_pem(signer->key.get());
        options.cert_pem = cert_pem(signer->cert.get());
    } else {
        options.no_sign = true;
    }
    const PackResult result = qpm_pack_build(options);
    if (error)
        *error = result.error;
    else if (!result.ok())
        ADD_FAILURE() << "building " << pkg_spec.name << " failed: " << result.error;
    return result.path;
}

} // namespace qpm::test
