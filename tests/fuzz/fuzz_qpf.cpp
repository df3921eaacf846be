// The package file reader on whole files: the info read (header, signature
// check against an empty keystore, file hash), the payload index, and the
// unpacking into a fresh directory, which must keep every entry inside it.
#include "fuzz_support.h"

#include "package/qpf.h"
#include "package/signature.h"

#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

using namespace qpm;
namespace fs = std::filesystem;

namespace {

qpm_handle &handle()
{
    static qpm_handle h;
    return h;
}

// Everything below `dir` must be a directory, regular file or symbolic link.
void check_tree(const std::string &dir)
{
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        struct stat st {};
        FUZZ_CHECK(lstat(it->path().c_str(), &st) == 0);
        FUZZ_CHECK(S_ISDIR(st.st_mode) || S_ISREG(st.st_mode) || S_ISLNK(st.st_mode));
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    const std::string certstore = fuzz::scratch_dir() + "/certs";
    if (mkdir(certstore.c_str(), 0755) != 0 && errno != EEXIST)
        std::abort();
    handle().dirs.certstore = certstore;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const fuzz::MemFile file(fuzz::as_text(data, size));
    FUZZ_CHECK(file);

    if (const QpiPtr qpi = qpm_qpf_info(&handle(), file.path(), 1)) {
        FUZZ_CHECK(qpi->file_size == static_cast<int64_t>(size));
        FUZZ_CHECK(qpi->file_hash && qpi->file_hash->size() == 40);
        FUZZ_CHECK(qpi->signature_status != QPS_VERIFIED);
    }
    (void)qpm_qpf_index(&handle(), file.path());

    // The sandbox: a parent holding the extraction directory, so an entry
    // that got out would show up beside it.
    const std::string parent = fuzz::scratch_dir() + "/unpack";
    const std::string into = parent + "/into";
    std::error_code ec;
    fs::remove_all(parent, ec);
    FUZZ_CHECK(fs::create_directories(into, ec));
    const std::string cwd = fs::current_path(ec).string();
    (void)qpm_qpf_extract(&handle(), file.path(), into, 0);
    FUZZ_CHECK(fs::current_path(ec).string() == cwd);
    size_t beside = 0;
    for (const auto &entry : fs::directory_iterator(parent, ec)) {
        (void)entry;
        ++beside;
    }
    FUZZ_CHECK(beside == 1);
    check_tree(into);
    // Modes from the payload may leave directories closed to us.
    for (auto it = fs::recursive_directory_iterator(into, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        if (it->is_directory(ec) && !it->is_symlink(ec))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(parent, ec);
    return 0;
}
