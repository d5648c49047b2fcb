// CChildProcess: a program of the build run as a child of the test, its standard output on a pipe
// the test reads line by line; CDaemonProcess: zoltcfgd on a home and runtime folder of the
// test's own, ready once it said that it serves. For tests that kill, restart or wait for a
// second process.
// Thread rule: the thread that made the object reads and stops it.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

class CChildProcess {
  public:
    // Starts `program` with `args` (argv is built before the fork).
    CChildProcess(const std::filesystem::path& program, std::vector<std::string> args) {
        args.insert(args.begin(), program.string());
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        int fds[2];  // closed on exec: no later child holds the write end open
        if (pipe2(fds, O_CLOEXEC) != 0) return;
        m_pid = fork();
        if (m_pid == 0) {
            dup2(fds[1], 1);
            close(fds[0]);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(fds[1]);
        m_out = fdopen(fds[0], "r");
    }
    ~CChildProcess() { Stop(SIGKILL); }
    CChildProcess(const CChildProcess&) = delete;
    CChildProcess& operator=(const CChildProcess&) = delete;

    // The next line of its standard output, with its newline ("" at the end).
    std::string ReadLine() {
        char line[1024] = {};
        return m_out && fgets(line, sizeof line, m_out) ? line : "";
    }
    // Sends `signal` (none when 0) and waits for the end: the exit code, or 128 + the signal
    // that ended it; -1 when it was already waited for.
    int Stop(int signal = 0) {
        if (m_pid <= 0) return -1;
        if (signal != 0) kill(m_pid, signal);
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_pid = -1;
        if (m_out) fclose(m_out);
        m_out = nullptr;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

  private:
    pid_t m_pid = -1;
    FILE* m_out = nullptr;
};

// zoltcfgd of the build folder `binDir` serving `home`, its endpoints in `runtime`.
class CDaemonProcess : public CChildProcess {
  public:
    CDaemonProcess(const std::filesystem::path& binDir, const std::filesystem::path& home,
                   const std::filesystem::path& runtime)
        : CChildProcess(binDir / "zoltcfgd",
                        {"--home", home.string(), "--runtime-dir", runtime.string()}),
          m_bReady(ReadLine().rfind("zoltcfgd: serving ID_ZOLT_MASTER at ", 0) == 0) {}
    // The daemon printed its ready line: its service answers.
    bool Ready() const { return m_bReady; }

  private:
    bool m_bReady;
};

}  // namespace testsupport
