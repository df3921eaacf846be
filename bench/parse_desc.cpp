// Times the readers of package descriptions and records on inputs with many
// repeated attributes: a description with thousands of dependency lines (as
// qpc-dirs reads every package of a catalogue), the same text as an ekva, and
// an install record with thousands of update times. Prints one line per case
// with the input size and the best of several runs.
//
//   bench-parse-desc [DEPENDENCIES [RUNS]]      (defaults: 5549, 5)
#include "package/qpk_info.h"
#include "record/ldif.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>

using namespace qpm;

namespace {

std::string description(int deps)
{
    std::string text = "dn: eqpkUid=big_any_1.0\neqpmVersion: 2.0\neqpkName: big\neqpkVersion: 1.0\n"
                       "eqpkArchitecture: any\neqpkDescription: many dependencies\n";
    for (int i = 0; i < deps; ++i)
        text += "eqpkDependency: lib" + std::to_string(i) + "\n";
    text += "eqpkDataSize: 1\n";
    return text;
}

std::string install_record(int updates)
{
    std::string text = "dn: eqpkUid=big\neqpkInstallTime: 1700000000\n";
    for (int i = 0; i < updates; ++i)
        text += "eqpkUpdateTime: " + std::to_string(1700000000 + i) + "\n";
    text += "eqpkInstallType: X\n";
    return text;
}

double best_seconds(int runs, const std::function<bool()> &work)
{
    double best = 1e30;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        if (!work()) {
            std::fprintf(stderr, "bench-parse-desc: the input did not parse\n");
            return -1;
        }
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count());
    }
    return best;
}

int number(const char *text, int fallback)
{
    int value = fallback;
    if (text)
        std::from_chars(text, text + std::char_traits<char>::length(text), value);
    return value > 0 ? value : fallback;
}

} // namespace

int main(int argc, char **argv)
{
    const int deps = number(argc > 1 ? argv[1] : nullptr, 5549);
    const int runs = number(argc > 2 ? argv[2] : nullptr, 5);
    const std::string desc = description(deps);
    const std::string record = install_record(deps);

    const double parse = best_seconds(runs, [&] {
        const QpiPtr qpi = qpk_info_parse("bench", QPK_KIND_FILE, desc);
        return qpi && qpi->dependencies.size() == static_cast<size_t>(deps);
    });
    const double ekva = best_seconds(runs, [&] {
        const EkvaPtr e = ldif2ekva(desc);
        return e && ekva_nument(e.get()) > deps;
    });
    const double installed = best_seconds(runs, [&] {
        const QpiPtr qpi = qpk_info_parse("bench", QPK_KIND_INSTALLED, desc, record);
        return qpi && qpi->update_times.size() == static_cast<size_t>(deps);
    });
    std::printf("description of %zu bytes, %d dependency lines: qpk_info_parse %.4f s\n", desc.size(), deps, parse);
    std::printf("the same description as an ekva: ldif2ekva %.4f s\n", ekva);
    std::printf("with an install record of %zu bytes, %d update times: qpk_info_parse %.4f s\n", record.size(), deps,
                installed);
    return parse < 0 || ekva < 0 || installed < 0 ? 1 : 0;
}
