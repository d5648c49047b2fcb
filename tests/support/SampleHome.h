// A sample home for tests and the demo: the schema file, the connection file and the data/ and
// log/ folders, with the files of the default home shipped in config/. Also a registry
// file pointing at a home, and a scoped environment variable, so that a test can run in a home
// of its own.
// Thread rule: CScopedEnv changes the process environment: use it from the test's main thread
// only, before other threads start.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace testsupport {

// The default schema file and connection file, read from config/ in the source tree.
extern const char* const kSampleSchemaXml;
extern const char* const kSampleConnectionXml;

// Creates <home>/config/dbSchema_Conf.xml, <home>/config/dbconf_Conf.xml, <home>/data and
// <home>/log (existing files are overwritten).
void CreateSampleHome(const std::filesystem::path& home);

// Writes a registry file whose product key holds "HomeDir" = home + "/" (and nothing else).
void WriteSampleRegistry(const std::filesystem::path& registryFile,
                         const std::filesystem::path& home);

// Sets an environment variable for its lifetime and puts the previous value back after.
class CScopedEnv {
  public:
    CScopedEnv(const std::string& name, const std::string& value);
    ~CScopedEnv();
    CScopedEnv(const CScopedEnv&) = delete;
    CScopedEnv& operator=(const CScopedEnv&) = delete;

  private:
    std::string m_name;
    std::optional<std::string> m_previous;
};

}  // namespace testsupport
