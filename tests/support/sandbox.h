#pragma once
// The end-to-end sandbox: a temporary system root bootstrapped with qpm-adm,
// a signer certificate added with qpm-key, the qpc-dirs plug-in installed and
// pointed at a package directory, and a runner for the real programs with
// QPM_ROOT set. Each sandbox is its own root, so tests may run in parallel.
#include "support/certs.h"
#include "support/package_fixture.h"
#include "support/runner.h"
#include "support/test_support.h"

#include <string>
#include <vector>

namespace qpm::test {

class Sandbox {
public:
    // Boots the root; check ok() (and error()) before use.
    Sandbox();

    bool ok() const { return m_error.empty(); }
    const std::string &error() const { return m_error; }

    const std::string &root() const { return m_root.path(); }
    // A path inside the root as the host sees it: path("/etc/qpm.conf").
    std::string path(const std::string &inside) const { return m_root.path() + inside; }
    // The package directory the catalogue serves.
    const std::string &repo() const { return m_repo; }
    const Signer &signer() const { return m_signer; }

    // Builds a package into the catalogue's directory; returns its path.
    std::string add_package(const PackageSpec &pkg_spec, bool sign = true);

    // Runs a program with the sandbox's environment (QPM_ROOT, HOME inside
    // the root, fixed PATH, LC_ALL=C).
    RunResult run(const std::string &program, const std::vector<std::string> &args,
                  RunOptions options = {}) const;
    RunResult pqpm(const std::vector<std::string> &args, RunOptions options = {}) const;
    RunResult qpm_key(const std::vector<std::string> &args, RunOptions options = {}) const;
    RunResult qpm_adm(const std::vector<std::string> &args, RunOptions options = {}) const;

    std::vector<std::string> environment() const;

private:
    bool boot();

    ScratchDir m_root;
    ScratchDir m_work; // package sources, the signer's PEM files
    std::string m_repo;
    Signer m_signer;
    std::string m_error;
};

} // namespace qpm::test
