// The sample home: the default schema and connection files read from the source tree's config/,
// the home's folders and a registry file naming the home.
// Thread rule: CScopedEnv from the main thread only.
#include "tests/support/SampleHome.h"

#include <cstdlib>
#include <string>

#include "tests/support/TempDir.h"

namespace testsupport {

namespace {

// A file of the default home shipped in the source tree's config/ folder.
std::string Shipped(const char* name) {
    return ReadFile(std::filesystem::path(ZOLT_SOURCE_DIR) / "config" / name);
}

const std::string g_schema = Shipped("dbSchema_Conf.xml");
const std::string g_connection = Shipped("dbconf_Conf.xml");

}  // namespace

const char* const kSampleSchemaXml = g_schema.c_str();
const char* const kSampleConnectionXml = g_connection.c_str();

void CreateSampleHome(const std::filesystem::path& home) {
    WriteFile(home / "config" / "dbSchema_Conf.xml", kSampleSchemaXml);
    WriteFile(home / "config" / "dbconf_Conf.xml", kSampleConnectionXml);
    std::filesystem::create_directories(home / "data");
    std::filesystem::create_directories(home / "log");
}

void WriteSampleRegistry(const std::filesystem::path& registryFile,
                         const std::filesystem::path& home) {
    std::string dir = home.string();
    if (dir.empty() || dir.back() != '/') dir += '/';
    std::string quoted;
    for (char c : dir) {
        if (c == '\\' || c == '"') quoted += '\\';
        quoted += c;
    }
    WriteFile(registryFile,
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrelon\\Mailvane for Exchange\\CurrentVersion]\n"
              "\"HomeDir\"=\"" +
                  quoted + "\"\n");
}

CScopedEnv::CScopedEnv(const std::string& name, const std::string& value) : m_name(name) {
    if (const char* old = std::getenv(name.c_str())) m_previous = old;
    setenv(name.c_str(), value.c_str(), 1);
}

CScopedEnv::~CScopedEnv() {
    if (m_previous) {
        setenv(m_name.c_str(), m_previous->c_str(), 1);
    } else {
        unsetenv(m_name.c_str());
    }
}

}  // namespace testsupport
