// Package headers and descriptions: the header of a package file (magic,
// length, description) read from a stream, descriptions parsed as catalogue
// entries, package files' and installed packages' (the install record after
// the first NUL byte), and what is made of the result. The first input byte
// picks the kind; input that starts with the magic after it is a header.
#include "fuzz_support.h"

#include "package/qpf.h"
#include "package/qpk_info.h"
#include "record/ldif.h"

#include <algorithm>

using namespace qpm;

namespace {

// The identifier rule, restated: these values become paths and arguments.
bool sound_ident(std::string_view text)
{
    return !text.empty() && text.front() != '.' && std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               std::string_view("+.~@_-:").find(c) != std::string_view::npos;
    });
}

void use(const qpk_info &qpi, int kind)
{
    FUZZ_CHECK(sound_ident(qpi.name));
    FUZZ_CHECK(sound_ident(qpi.version));
    FUZZ_CHECK(!qpi.variant || sound_ident(*qpi.variant));
    for (const std::string &dep : qpi.dependencies)
        FUZZ_CHECK(sound_ident(dep));
    FUZZ_CHECK(qpm_arch_getname(qpi.architecture) != nullptr);
    if (kind == QPK_KIND_INSTALLED)
        FUZZ_CHECK(qpi.install_type == QPK_INSTALL_REQUESTED || qpi.install_type == QPK_INSTALL_DEPENDENCY);

    const EkvaPtr e = qpk_info_ekva(&qpi, kind);
    FUZZ_CHECK(e && ekva2ldif(e.get()));
    const std::string puname = qpk_puname(qpi);
    (void)qpk_puname_decode(puname.c_str());
    const QpiPtr copy = qpk_info_copy(&qpi);
    FUZZ_CHECK(copy && qpk_puname(*copy) == puname);
    (void)qpm_qpi_match(&qpi, kind, std::string("*"), std::nullopt, std::nullopt, nullptr);
    (void)qpm_qpi_match(&qpi, kind, std::string("x[a-"), std::string("default"), qpi.version, e.get());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const int kind = data[0] % 3 + 1;
    const std::string_view text = fuzz::as_text(data + 1, size - 1);

    if (text.starts_with("EQPM")) {
        FilePtr stream(fmemopen(const_cast<uint8_t *>(data + 1), size - 1, "r"));
        FUZZ_CHECK(stream);
        if (const std::optional<QpfHeader> header = qpm_qpf_read_header(stream.get(), "fuzz.qpk")) {
            FUZZ_CHECK(header->qpi);
            FUZZ_CHECK(header->file_version == 1 || header->file_version == 2);
            FUZZ_CHECK(header->description.size() <= static_cast<size_t>(QPF_DESC_MAX));
            FUZZ_CHECK(static_cast<long>(QPF_HEADER_LEN + header->description.size()) == ftell(stream.get()));
            use(*header->qpi, QPK_KIND_FILE);
        }
        return 0;
    }

    const size_t nul = text.find('\0');
    const std::string_view description = text.substr(0, nul);
    std::optional<std::string_view> record;
    if (nul != std::string_view::npos)
        record = text.substr(nul + 1);
    if (const QpiPtr qpi = qpk_info_parse("fuzz.qpk", kind, description, record))
        use(*qpi, kind);
    return 0;
}
