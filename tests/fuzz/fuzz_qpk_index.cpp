// The repository index as a mirror serves it: the file taken apart (gzip,
// signature entry, header) before anything is trusted, the body parsed into
// package records, and an index packed here read back as packed.
#include "fuzz_support.h"

#include "package/qpk_index.h"
#include "package/signature.h"

using namespace qpm;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string_view input = fuzz::as_text(data, size);
    std::string error;

    // The input as the downloaded file.
    if (const std::optional<QpkIndexFile> file = qpk_index_unpack(input, error))
        (void)qpk_index_parse(file->body, "fuzz", error);

    // The input as a body: parsed, and packed with a signature entry.
    (void)qpk_index_created(input);
    if (const std::optional<QpkIndex> index = qpk_index_parse(input, "fuzz", error)) {
        for (const QpiPtr &qpi : index->packages)
            FUZZ_CHECK(qpi && !qpi->name.empty() && qpi->relative_uri);
        FUZZ_CHECK(index->skipped >= 0);
    }
    const std::string signature(input.substr(0, 16));
    const std::optional<std::string> packed = qpk_index_pack(input, std::string("/C=QD/CN=fuzz"), signature);
    FUZZ_CHECK(packed);
    const std::optional<QpkIndexFile> back = qpk_index_unpack(*packed, error);
    if (!input.starts_with("dn: eqpiIndex=QPKINDEX") || signature.empty())
        return 0;
    FUZZ_CHECK(back);
    FUZZ_CHECK(back->subject == "/C=QD/CN=fuzz");
    FUZZ_CHECK(back->signature == signature);
    FUZZ_CHECK(back->body == input);
    FUZZ_CHECK(qpk_index_verify(*back, fuzz::scratch_dir()) != QPS_VERIFIED);
    return 0;
}
