// The sample home: the default schema and connection files (kept equal to config/ by a test of
// the database layer), the home's folders and a registry file naming the home.
// Thread rule: CScopedEnv from the main thread only.
#include "tests/support/SampleHome.h"

#include <cstdlib>

#include "tests/support/TempDir.h"

namespace testsupport {

const char* const kSampleSchemaXml = R"XML(<?xml version="1.0" encoding="UTF-8"?>
<!-- Tables of the configuration database: one table per setting category, named after it.
     Every table gets the key column CFG_INDEX (text, unique, ASCII case ignored) first.
     Column types: string, int16, int32, int64, bool, date, double, bytes.
     CFG_IGNORE_FIELDS lists fields a write leaves alone (";"-separated, "###" = always);
     CFG_DEFAULT_INSTANCE names the row (policy:subject) that a reset copies. -->
<database>
  <schema version="1">
    <table name="QV_VirusScan">
      <column name="CFG_IGNORE_FIELDS" type="string" default=""/>
      <column name="CFG_DEFAULT_INSTANCE" type="string" default="ZOLT_PLC_NULL:ZOLT_SUB_CFG_VS_DEFAULT"/>
      <column name="VS_ENABLE_VIRUSSCAN" type="bool" default="1"/>
      <column name="VS_ACTION" type="int16" default="1"/>
      <column name="VS_MAX_SIZE" type="int32" default="10240"/>
      <column name="VS_SCAN_ARCHIVES" type="bool" default="1"/>
      <column name="VS_QUARANTINE_FOLDER" type="string" default="quarantine"/>
      <column name="VS_EXCLUDED_EXTENSIONS" type="string" default=""/>
      <column name="VS_LAST_UPDATE" type="date" default="1899-12-30"/>
    </table>
    <table name="QV_ContentFilter">
      <column name="CFG_IGNORE_FIELDS" type="string" default=""/>
      <column name="CFG_DEFAULT_INSTANCE" type="string" default="ZOLT_PLC_NULL:ZOLT_SUB_CFG_CF_DEFAULT"/>
      <column name="CF_ENABLED" type="bool" default="0"/>
      <column name="CF_ACTION" type="int16" default="0"/>
      <column name="CF_NOTIFY_ADMIN" type="bool" default="0"/>
      <column name="RULES_CFGSETTING_MV" type="string" default=""/>
    </table>
    <table name="QV_ContentFilterRule">
      <column name="CFG_DEFAULT_INSTANCE" type="string" default="ZOLT_PLC_NULL:ZOLT_SUB_CFG_CFR_DEFAULT"/>
      <column name="CFR_NAME" type="string" default=""/>
      <column name="CFR_ENABLED" type="bool" default="1"/>
      <column name="CFR_PATTERN" type="string" default=""/>
      <column name="CFR_ACTION" type="int16" default="0"/>
      <column name="CFR_PRIORITY" type="int32" default="0"/>
    </table>
    <table name="QV_VirtualServerEnvironment">
      <column name="VSE_LOG_FILENAME" type="string" default=""/>
      <column name="VSE_CFG_FILENAME" type="string" default=""/>
      <column name="VSE_REPORT_FILENAME" type="string" default=""/>
      <column name="VSE_ROOT_FOLDER" type="string" default=""/>
      <column name="VSE_SERVER_STATUS" type="bool" default="1"/>
    </table>
    <table name="QV_INMEMORY">
      <column name="INM_VAIRANT" type="string" default=""/>
    </table>
  </schema>
</database>
)XML";

const char* const kSampleConnectionXml = R"XML(<?xml version="1.0" encoding="UTF-8"?>
<!-- Connection to the configuration database. Relative paths are taken from the home folder
     (the folder above this file's folder). -->
<connection provider="sqlite">
  <database file="data/config.db"/>
  <schema file="config/dbSchema_Conf.xml"/>
  <busyTimeout ms="30000"/>
</connection>
)XML";

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
