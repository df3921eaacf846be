#pragma once
// The sandbox of the qpm tests: packages published to the catalogue,
// installed with pqpm, and qpm run with the sandbox's environment.
#include "support/sandbox.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#ifndef QPM_QPM_EXE
#error "the qpm tests need the path of qpm"
#endif

namespace qpm::test {

// A package with one data file, /usr/share/NAME/file.
inline PackageSpec pkg(const std::string &name, std::vector<std::string> depends = {})
{
    PackageSpec pkg_spec;
    pkg_spec.name = name;
    pkg_spec.depends = std::move(depends);
    pkg_spec.file("data/usr/share/" + name + "/file", name + "\n");
    return pkg_spec;
}

class QpmSandboxTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(box.ok()) << box.error(); }

    std::string inv(const std::string &path) const { return box.path("/var/lib/qpm/" + path); }
    void publish(const PackageSpec &pkg_spec) { ASSERT_FALSE(box.add_package(pkg_spec).empty()); }
    RunResult install(const std::string &name) const { return box.pqpm({"install", name}); }
    RunResult qpm(const std::vector<std::string> &args, const std::string &input = "",
                  RunOptions options = {}) const
    {
        options.stdin_text = input;
        return box.run(QPM_QPM_EXE, args, std::move(options));
    }
    // The whole root but what every run changes (logs, stage area, lock,
    // action log, scratch files of scripts).
    std::map<std::string, std::string> snapshot() const
    {
        return tree_snapshot(box.root(), {"/var/log", "/var/lib/qpm/stagearea", "/var/lib/qpm/lock",
                                          "/var/lib/qpm/install.log", "/tmp"});
    }

    Sandbox box;
};

} // namespace qpm::test
