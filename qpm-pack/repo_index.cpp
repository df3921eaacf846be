#include "repo_index.h"

#include "package/qpf.h"
#include "package/qpk_index.h"
#include "package/sha1.h"
#include "util/files.h"
#include "util/raii.h"
#include "util/strfmt.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <sys/stat.h>
#include <vector>

namespace qpm {
namespace {

// The regular "*.qpk" files of `dir`, sorted by name.
std::optional<std::vector<std::string>> package_files(const std::string &dir, std::string &error)
{
    DirPtr d(opendir(dir.c_str()));
    if (!d) {
        const int err = errno;
        error = strprintf("cannot read %s: %s", dir.c_str(), std::strerror(err));
        return std::nullopt;
    }
    std::vector<std::string> names;
    while (const dirent *entry = readdir(d.get())) {
        const std::string name = entry->d_name;
        if (name.size() > 4 && name.ends_with(".qpk") && qpk_file_is_qpk(dir + "/" + name))
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::optional<std::string> index_entry(const std::string &dir, const std::string &name, std::string &error)
{
    const std::string path = dir + "/" + name;
    FilePtr file = fopen_cloexec(path, "rb");
    struct stat st {};
    if (!file || fstat(fileno(file.get()), &st) != 0) {
        const int err = errno;
        error = strprintf("cannot read %s: %s", path.c_str(), std::strerror(err));
        return std::nullopt;
    }
    const std::optional<QpfHeader> header = qpm_qpf_read_header(file.get(), path);
    if (!header) {
        error = strprintf("%s is not a valid package file", path.c_str());
        return std::nullopt;
    }
    const std::optional<std::string> hash = sha1_file(path);
    if (!hash) {
        error = strprintf("cannot read %s", path.c_str());
        return std::nullopt;
    }
    std::optional<std::string> entry = qpk_index_entry(header->description, st.st_size, *hash, name);
    if (!entry)
        error = strprintf("%s: the description cannot be put in an index", path.c_str());
    return entry;
}

int64_t creation_time(const IndexOptions &options, const std::string &index_path)
{
    if (options.created)
        return *options.created;
    int64_t created = std::time(nullptr);
    std::string ignored;
    if (const std::optional<std::string> bytes = _read_file(index_path))
        if (const std::optional<QpkIndexFile> old = qpk_index_unpack(*bytes, ignored))
            if (const std::optional<int64_t> before = qpk_index_created(old->body); before && *before >= created)
                created = *before + 1;
    return created;
}

} // namespace

IndexResult qpm_pack_index(const IndexOptions &options)
{
    IndexResult result;
    const auto fail = [&result](std::string error) {
        result.error = std::move(error);
        return result;
    };
    const std::string &dir = options.repo_dir;
    const std::string index_path = dir + "/" + QPK_INDEX_NAME;

    std::optional<PackSigner> signer;
    if (!options.signer.no_sign) {
        signer = qpm_pack_load_signer(options.signer, result.error);
        if (!signer)
            return result;
    }
    const std::optional<std::vector<std::string>> names = package_files(dir, result.error);
    if (!names)
        return result;
    std::vector<std::string> entries;
    entries.reserve(names->size());
    for (const std::string &name : *names) {
        std::optional<std::string> entry = index_entry(dir, name, result.error);
        if (!entry)
            return result;
        entries.push_back(std::move(*entry));
    }

    result.created = creation_time(options, index_path);
    const std::string body = qpk_index_body(result.created, entries);
    std::optional<std::string> signature;
    if (signer) {
        signature = qpm_pack_sign(*signer, body, result.error);
        if (!signature)
            return result;
    }
    const std::optional<std::string> packed =
        qpk_index_pack(body, signer ? std::optional<std::string>(signer->subject) : std::nullopt,
                       signature.value_or(""));
    if (!packed)
        return fail("cannot compress the index");

    SiblingFile out;
    if (!out.create(index_path, 0644) || !write_all(out.fd(), *packed) || out.close() != 0 || out.commit() != 0) {
        const int err = errno;
        return fail(strprintf("cannot write %s: %s", index_path.c_str(), std::strerror(err)));
    }
    result.path = index_path;
    result.packages = static_cast<int>(entries.size());
    return result;
}

} // namespace qpm
