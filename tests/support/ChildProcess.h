// Running the real zoltcfgd and zoltcfg of the test binary's own build folder: a daemon on a
// temporary home and runtime folder of its own (stopped, or killed, when the test says), one-shot
// CLI runs with their output and exit code, and a CLI run in the background whose lines are read
// as they come. Every wait on a child (a line, an exit) has a deadline: past it the test fails
// instead of hanging.
// Thread rule: the test's main thread only (the environment is set for the children).
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/SampleHome.h"
#include "tests/support/TempDir.h"

namespace testsupport {

// Reads a pipe line by line.
struct CLineReader {
    int fd = -1;
    std::string pending;  // read beyond the last line returned
};

// The outcome of one CLI run.
struct CRun {
    int code = -1;
    std::string out;
    std::string err;
};

// A zoltcfgd on <dir>/home with runtime folder <dir>/run, started by the constructor (which
// returns once the daemon serves) and stopped with SIGTERM by the destructor unless Stop ended it.
// While it lives, ZOLTCFG_HOME, ZOLTCFG_RUNTIME_DIR and ZOLTCFG_REGISTRY point the CLI runs and
// the agents of the test at it.
class CDaemon {
  public:
    explicit CDaemon(const std::filesystem::path& dir, const std::vector<std::string>& args = {});
    ~CDaemon();
    CDaemon(const CDaemon&) = delete;
    CDaemon& operator=(const CDaemon&) = delete;

    const std::string& ReadyLine() const { return m_strReady; }
    // Runs zoltcfg with `args` against this daemon (`input` on its standard input), whichever
    // daemon was started last.
    CRun Cli(const std::vector<std::string>& args, const std::string& input = "") const;
    // Sends `signal` and waits for the end: the exit code, or 128 + the signal that ended it.
    int Stop(int signal);
    const std::filesystem::path& Dir() const { return m_Dir; }
    pid_t Pid() const { return m_Pid; }

  private:
    pid_t m_Pid = -1;
    CLineReader m_Out;
    std::string m_strReady;
    std::filesystem::path m_Dir;
    CScopedEnv m_Home, m_Runtime, m_Registry;
};

// zoltcfg running in the background with pipes on its standard output and error.
class CBackgroundCli {
  public:
    explicit CBackgroundCli(const std::vector<std::string>& args);
    ~CBackgroundCli();  // SIGKILL if still running
    CBackgroundCli(const CBackgroundCli&) = delete;
    CBackgroundCli& operator=(const CBackgroundCli&) = delete;

    // The next line (with its newline), "" at the end of the stream or past the deadline.
    std::string OutLine();
    std::string ErrLine();
    // Sends `signal` to the process.
    void Signal(int signal);
    // Waits for the exit; the exit code, or 128 + the signal (SIGKILL past the deadline).
    int Wait();

  private:
    pid_t m_Pid = -1;
    CLineReader m_Out, m_Err;
};

// Runs zoltcfg (or `program`) with the current environment.
CRun RunCli(const std::vector<std::string>& args, const std::string& input = "");
CRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                const std::string& input = "");

}  // namespace testsupport
