#include "support/inventory_fixture.h"

#include <filesystem>
#include <memory>

namespace qpm::test {

bool make_inventory_dirs(const std::string &inventory)
{
    for (const char *dir : INVENTORY_DIRS) {
        std::error_code ec;
        std::filesystem::create_directories(inventory + "/" + dir, ec);
        if (ec)
            return false;
    }
    return true;
}

QpiPtr make_record(std::string name, std::string version, int arch, std::optional<std::string> variant,
                   StrArr deps, std::string description)
{
    auto qpi = std::make_unique<qpk_info>();
    qpi->name = std::move(name);
    qpi->version = std::move(version);
    qpi->architecture = arch;
    qpi->variant = std::move(variant);
    qpi->description = std::move(description);
    qpi->dependencies = std::move(deps);
    return qpi;
}

} // namespace qpm::test
