// The one way a zoltcfg command fails: a plain sentence for standard error and the exit code that
// goes with it (1 not found or refused, 2 usage).
// Thread rule: a value type.
#pragma once

#include <stdexcept>
#include <string>

namespace zoltcli {

enum ExitCode : int {
    kExitOk = 0,
    kExitRefused = 1,  // not found, refused by the schema or the daemon, daemon missing
    kExitUsage = 2,    // the command line itself is malformed
};

class CCliError : public std::runtime_error {
  public:
    CCliError(int exitCode, const std::string& sentence)
        : std::runtime_error(sentence), m_nExitCode(exitCode) {}
    int GetExitCode() const { return m_nExitCode; }

  private:
    int m_nExitCode;
};

// Shorthands for the two kinds of failure.
inline CCliError Refused(const std::string& sentence) {
    return CCliError(kExitRefused, sentence);
}
inline CCliError Usage(const std::string& sentence) {
    return CCliError(kExitUsage, sentence);
}

}  // namespace zoltcli
