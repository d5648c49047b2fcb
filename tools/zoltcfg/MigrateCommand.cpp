// zoltcfg migrate: moves the home's database to the database another connection file names
// (copied, checked whole, then the home switched), with a progress bar on a terminal. Refuses
// while a daemon answers, since its writes during the copy would be missing from the copy.
// Thread rule: run on the main thread.
#include <filesystem>
#include <iostream>
#include <memory>

#include "cfg_Storage.h"
#include "tools/zoltcfg/CliError.h"
#include "tools/zoltcfg/Commands.h"
#include "tools/zoltcfg/ProgressBar.h"

namespace zoltcli {

int RunMigrate(const CCliContext& ctx, const std::string& target) {
    if (!std::filesystem::is_regular_file(target))
        throw Refused("there is no connection file at " + target + ".");
    if (CDaemonLink::Probe().reachable)
        throw Refused(
            "zoltcfgd is running; stop it before migrating its database (its writes "
            "during the copy would be lost).");
    const std::string home = ctx.home.empty() ? CCfgHome::Folder().ToUtf8() : ctx.home;
    std::unique_ptr<CProgressBar> counted;
    const auto result = CCfgDatabaseMigration::Run(home, target, [&](size_t done, size_t total) {
        if (!counted) counted = std::make_unique<CProgressBar>("migrate", "rows", total);
        counted->Update(done);
    });
    if (counted) counted->Finish();
    std::cout << "copied and checked " << result.rows << " rows of " << result.tables
              << " tables from " << result.from << " to " << result.to << "; the home now uses "
              << result.to << " (its previous connection file is config/dbconf_Conf.xml.previous)"
              << std::endl;
    return kExitOk;
}

}  // namespace zoltcli
