// The daemon's home folder: where it is, its creation on first start (config/ with the schema
// and connection files the daemon carries, data/ for the database, log/), and its check.
// Thread rule: called from the daemon's main thread before the service starts.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace zoltcfgd {

// One file of the default home's config/ folder, carried inside the daemon.
struct CHomeFile {
    std::string name;
    std::vector<unsigned char> bytes;
};

// The files the daemon writes into a new home's config/ folder.
const std::vector<CHomeFile>& DefaultHomeFiles();

// The home to use: `explicitHome` when given, else the registry's "HomeDir", else ZOLTCFG_HOME,
// else /var/lib/zoltcfg; `why` says which of them it is.
std::filesystem::path ResolveHome(const std::string& explicitHome, std::string& why);

// Creates what is missing of `home`: the folder, config/ (each carried file that is not there
// yet; existing files are left as they are), data/ and log/. Returns the names of the files it
// wrote. Throws std::filesystem::filesystem_error when a folder or file cannot be created.
std::vector<std::string> PrepareHome(const std::filesystem::path& home);

// What is wrong with `home` for serving, found without creating or changing anything: the
// folder, the connection file, the schema file, the database's integrity and its tables. One
// sentence per problem; empty when the daemon can serve from it.
std::vector<std::string> CheckHome(const std::filesystem::path& home);

}  // namespace zoltcfgd
