#include "package/qpf.h"

#include "util/raii.h"
#include "util/raii_archive.h"
#include "util/strfmt.h"
#include "support/test_support.h"
#include "tree_fixture.h"

#include <gtest/gtest.h>

#include <archive.h>
#include <archive_entry.h>
#include <string>
#include <vector>

namespace qpm {
namespace {

using namespace test;

// A package file: header, description and a gzip-compressed cpio payload.
std::string package_bytes(const std::vector<std::string> &entries)
{
    std::string payload(1 << 20, '\0');
    size_t used = 0;
    ArchiveWritePtr writer(archive_write_new());
    archive_write_add_filter_gzip(writer.get());
    archive_write_set_format_cpio_newc(writer.get());
    archive_write_open_memory(writer.get(), payload.data(), payload.size(), &used);
    for (const std::string &name : entries) {
        ArchiveEntryPtr entry(archive_entry_new());
        archive_entry_set_pathname(entry.get(), name.c_str());
        const bool is_dir = name.back() == '/';
        archive_entry_set_filetype(entry.get(), is_dir ? AE_IFDIR : AE_IFREG);
        archive_entry_set_perm(entry.get(), 0644);
        archive_entry_set_size(entry.get(), is_dir ? 0 : 4);
        archive_write_header(writer.get(), entry.get());
        if (!is_dir)
            archive_write_data(writer.get(), "data", 4);
    }
    archive_write_close(writer.get());
    payload.resize(used);
    const std::string desc = "dn: eqpkName=demo\neqpmVersion: 2.0\neqpkName: demo\neqpkVersion: 1.0\n"
                             "eqpkArchitecture: any\neqpkDescription: demo\n";
    return "EQPM20" + strprintf("%5d", static_cast<int>(desc.size())) + desc + payload;
}

TEST(TreeIndex, ListsDataEntriesInArchiveOrderAndOnlyAWholePayload)
{
    ScratchDir dir;
    const std::string bytes =
        package_bytes({"info/perm.txt", "data/", "data/usr/bin/b", "hash/data.txt", "data/etc/a", "dump/x"});
    write_file(dir / "p.qpk", bytes);
    const std::optional<StrArr> index = qpm_qpf_index(nullptr, dir / "p.qpk");
    ASSERT_TRUE(index);
    EXPECT_EQ(*index, (StrArr{"/", "/usr/bin/b", "/etc/a"}));

    write_file(dir / "cut.qpk", bytes.substr(0, bytes.size() - 30));
    EXPECT_FALSE(qpm_qpf_index(nullptr, dir / "cut.qpk"));
    write_file(dir / "bad.qpk", "EQPM30" + bytes.substr(6));
    EXPECT_FALSE(qpm_qpf_index(nullptr, dir / "bad.qpk"));
}

} // namespace
} // namespace qpm
