// Creation of the daemon's home: the config/ files carried in the binary (generated at build
// time from the repository's config/ folder), data/ and log/.
// Thread rule: main thread only.
#include "tools/zoltcfgd/DaemonHome.h"

#include <cstdlib>
#include <fstream>

#include "cfg_Storage.h"

namespace zoltcfgd {

const std::vector<CHomeFile>& DefaultHomeFiles() {
    // The build writes one {"name", {bytes...}}, line per file of config/.
    static const std::vector<CHomeFile> files = [] {
        std::vector<CHomeFile> all = {
#include "zoltcfgd_home_files.inc"
            {"", {}}};
        all.pop_back();  // the end mark
        return all;
    }();
    return files;
}

std::filesystem::path ResolveHome(const std::string& explicitHome, std::string& why) {
    if (!explicitHome.empty()) {
        why = "--home";
        return std::filesystem::absolute(explicitHome);
    }
    // The same order the store uses to find its schema: the registry's "HomeDir", then
    // ZOLTCFG_HOME, then /var/lib/zoltcfg; so the daemon and its store never disagree.
    std::filesystem::path home = std::filesystem::absolute(CCfgHome::Folder(why).ToUtf8());
    home = home.lexically_normal();
    return home.has_filename() ? home : home.parent_path();  // no trailing '/'
}

std::vector<std::string> PrepareHome(const std::filesystem::path& home) {
    namespace fs = std::filesystem;
    std::vector<std::string> written;
    fs::create_directories(home / "config");
    fs::create_directories(home / "data");
    fs::create_directories(home / "log");
    for (const auto& file : DefaultHomeFiles()) {
        const fs::path target = home / "config" / file.name;
        if (fs::exists(target)) continue;
        const fs::path temp = target.string() + ".new";
        {
            std::ofstream out(temp, std::ios::binary | std::ios::trunc);
            out.write(reinterpret_cast<const char*>(file.bytes.data()),
                      static_cast<std::streamsize>(file.bytes.size()));
            if (!out)
                throw fs::filesystem_error("cannot write", temp,
                                           std::make_error_code(std::errc::io_error));
        }
        fs::rename(temp, target);  // a half-written file never takes the real name
        written.push_back(file.name);
    }
    return written;
}

std::vector<std::string> CheckHome(const std::filesystem::path& home) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (!fs::is_directory(home, ec))
        return {"the home folder " + home.string() + " does not exist"};
    const fs::path connectionFile = home / "config" / "dbconf_Conf.xml";
    if (!fs::is_regular_file(connectionFile, ec))
        return {"the connection file " + connectionFile.string() + " does not exist"};
    return CCfgSchema::CheckDatabase(OS::x_wstring::FromUtf8(connectionFile.string()));
}

}  // namespace zoltcfgd
