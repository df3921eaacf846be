#include "support/sandbox.h"

#include <filesystem>

#if !defined(QPM_PQPM_EXE) || !defined(QPM_KEY_EXE) || !defined(QPM_ADM_EXE) || !defined(QPM_QPC_DIRS_SO)
#error "the sandbox needs the paths of pqpm, qpm-key, qpm-adm and qpc-dirs.so"
#endif

namespace qpm::test {

namespace fs = std::filesystem;

Sandbox::Sandbox() : m_signer(make_signer())
{
    if (!boot() && m_error.empty())
        m_error = "sandbox could not be set up";
}

bool Sandbox::boot()
{
    std::error_code ec;
    // qpm-adm refuses an existing inventory but needs the configuration's directory.
    fs::create_directories(path("/etc"), ec);
    RunResult r = qpm_adm({"-B", "-f", "-o", "qpm_busybox=/bin/busybox"});
    if (r.status != 0) {
        m_error = "qpm-adm -B failed: " + r.out + r.err;
        return false;
    }
    fs::create_directories(path("/var/log"), ec);
    fs::create_directories(path("/usr/lib/qpm"), ec);
    fs::create_directories(path("/tmp"), ec);
    fs::create_directories(path("/root"), ec);
    fs::copy_file(QPM_QPC_DIRS_SO, path("/usr/lib/qpm/qpc-dirs.so"), fs::copy_options::overwrite_existing, ec);
    if (ec) {
        m_error = "cannot install the plug-in: " + ec.message();
        return false;
    }
    m_repo = m_work / "repo";
    fs::create_directories(m_repo, ec);
    write_file(path("/etc/qpc-dirs.conf"), m_repo + "\n");

    const std::string cert = m_work / "signer.crt";
    const std::string key = m_work / "signer.key";
    m_signer.write_pem(cert, key);
    r = qpm_key({"-A", cert, "-f"});
    if (r.status != 0) {
        m_error = "qpm-key -A failed: " + r.out + r.err;
        return false;
    }
    return true;
}

std::string Sandbox::add_package(const PackageSpec &pkg_spec, bool sign)
{
    return build_package(pkg_spec, m_repo, sign ? &m_signer : nullptr);
}

std::vector<std::string> Sandbox::environment() const
{
    return {"QPM_ROOT=" + root(), "HOME=" + path("/root"), "PATH=/usr/sbin:/usr/bin:/sbin:/bin", "LC_ALL=C"};
}

RunResult Sandbox::run(const std::string &program, const std::vector<std::string> &args, RunOptions options) const
{
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    options.env = environment();
    return run_program(argv, options);
}

RunResult Sandbox::pqpm(const std::vector<std::string> &args, RunOptions options) const
{
    return run(QPM_PQPM_EXE, args, std::move(options));
}

RunResult Sandbox::qpm_key(const std::vector<std::string> &args, RunOptions options) const
{
    return run(QPM_KEY_EXE, args, std::move(options));
}

RunResult Sandbox::qpm_adm(const std::vector<std::string> &args, RunOptions options) const
{
    return run(QPM_ADM_EXE, args, std::move(options));
}

} // namespace qpm::test
