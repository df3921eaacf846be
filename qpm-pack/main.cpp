// qpm-pack: builds a signed .qpk package from a package source directory.
#include "builder.h"
#include "repo_index.h"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <exception>
#include <getopt.h>

namespace {

void usage(FILE *out)
{
    std::fprintf(out,
                 "Usage: qpm-pack [-k|--key KEY.pem] [-c|--cert CERT.pem] [-o|--output DIR] [--no-sign] "
                 "SOURCE_DIR\n"
                 "       qpm-pack [-k|--key KEY.pem] [-c|--cert CERT.pem] [--no-sign] [--created SECONDS] "
                 "index REPO_DIR\n"
                 "Builds the package described by SOURCE_DIR/qpk.conf from the trees data/, conf/, init/\n"
                 "and dump/ of SOURCE_DIR, and prints the path of the package file it wrote.\n"
                 "With \"index\", writes REPO_DIR/QPKINDEX, the signed index of the *.qpk files of REPO_DIR.\n"
                 "\n"
                 "  -k, --key KEY.pem     RSA private key (PEM, unencrypted) that signs the payload\n"
                 "  -c, --cert CERT.pem   certificate of that key; its subject names the signer\n"
                 "  -o, --output DIR      where to write <puname>.qpk (default: the current directory)\n"
                 "      --no-sign         build an unsigned package (or index)\n"
                 "      --created SECONDS index creation time (default: now, later than the last index)\n"
                 "  -h, --help            show this help\n");
}

int write_index(const qpm::PackOptions &signer, std::optional<int64_t> created, const char *dir)
{
    qpm::IndexOptions options;
    options.repo_dir = dir;
    options.signer = signer;
    options.created = created;
    const qpm::IndexResult result = qpm::qpm_pack_index(options);
    if (!result.ok()) {
        std::fprintf(stderr, "qpm-pack: %s\n", result.error.c_str());
        return 1;
    }
    std::printf("%s: %d packages\n", result.path.c_str(), result.packages);
    if (std::fflush(stdout) != 0) {
        std::perror("qpm-pack: standard output");
        return 1;
    }
    return 0;
}

int run(int argc, char **argv)
{
    enum { OPT_NO_SIGN = 256, OPT_CREATED };
    static const option long_options[] = {
        {"key", required_argument, nullptr, 'k'},   {"cert", required_argument, nullptr, 'c'},
        {"output", required_argument, nullptr, 'o'}, {"no-sign", no_argument, nullptr, OPT_NO_SIGN},
        {"help", no_argument, nullptr, 'h'},         {"created", required_argument, nullptr, OPT_CREATED},
        {nullptr, 0, nullptr, 0},
    };
    qpm::PackOptions options;
    std::optional<int64_t> created;
    int c;
    while ((c = getopt_long(argc, argv, "k:c:o:h", long_options, nullptr)) != -1) {
        switch (c) {
        case 'k':
            options.key_path = optarg;
            break;
        case 'c':
            options.cert_path = optarg;
            break;
        case 'o':
            options.output_dir = optarg;
            break;
        case OPT_NO_SIGN:
            options.no_sign = true;
            break;
        case OPT_CREATED: {
            int64_t value = 0;
            const char *end = optarg + std::strlen(optarg);
            const auto [ptr, ec] = std::from_chars(optarg, end, value);
            if (ec != std::errc() || ptr != end || value < 0) {
                std::fprintf(stderr, "qpm-pack: --created takes seconds since the epoch, not %s\n", optarg);
                return 1;
            }
            created = value;
            break;
        }
        case 'h':
            usage(stdout);
            return 0;
        default:
            usage(stderr);
            return 1;
        }
    }
    if (argc - optind == 2 && std::strcmp(argv[optind], "index") == 0)
        return write_index(options, created, argv[optind + 1]);
    if (optind + 1 != argc) {
        std::fprintf(stderr, "qpm-pack: %s\n", optind >= argc ? "no source directory given"
                                                              : "only one source directory can be given");
        usage(stderr);
        return 1;
    }
    options.source_dir = argv[optind];

    const qpm::PackResult result = qpm::qpm_pack_build(options);
    if (!result.ok()) {
        std::fprintf(stderr, "qpm-pack: %s\n", result.error.c_str());
        return 1;
    }
    std::printf("%s\n", result.path.c_str());
    if (std::fflush(stdout) != 0) {
        std::perror("qpm-pack: standard output");
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    try {
        return run(argc, argv);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "qpm-pack: %s\n", e.what());
        return 1;
    }
}
