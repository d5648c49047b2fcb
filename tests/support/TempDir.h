// CTempDir: a fresh temporary folder for one test, removed with everything in it when the object
// goes. Tests that need a home, a runtime folder or a database file make one of these.
// Thread rule: one owner.
#pragma once

#include <filesystem>
#include <string>

namespace testsupport {

class CTempDir {
  public:
    explicit CTempDir(const std::string& prefix = "zoltcfg-test");
    ~CTempDir();
    CTempDir(const CTempDir&) = delete;
    CTempDir& operator=(const CTempDir&) = delete;

    const std::filesystem::path& Path() const { return m_path; }
    std::string Str() const { return m_path.string(); }
    // Path() / name.
    std::filesystem::path operator/(const std::string& name) const { return m_path / name; }

  private:
    std::filesystem::path m_path;
};

// Writes `text` to `path`, creating its folders.
void WriteFile(const std::filesystem::path& path, const std::string& text);
// The whole content of `path` ("" when it cannot be read).
std::string ReadFile(const std::filesystem::path& path);

}  // namespace testsupport
