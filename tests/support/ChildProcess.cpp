// The child-process helpers of the tests (see ChildProcess.h).
// Thread rule: the test's main thread only.
#include "tests/support/ChildProcess.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <utility>

namespace fs = std::filesystem;

namespace testsupport {

namespace {

// The programs lie beside the test binary in the build folder.
const fs::path kBin = fs::read_symlink("/proc/self/exe").parent_path();
constexpr std::chrono::seconds kDeadline(20);

// Waits until `fd` is readable or the deadline passes; false past it.
bool Readable(int fd, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        const int n = poll(&p, 1, static_cast<int>(std::max<long>(left.count(), 0)));
        if (n >= 0 || errno != EINTR) return n > 0;
    }
}

std::vector<char*> Argv(const std::string& program, const std::vector<std::string>& args) {
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    return argv;
}

int ExitCode(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string ReadLine(CLineReader& r) {
    const auto deadline = std::chrono::steady_clock::now() + kDeadline;
    for (;;) {
        const size_t nl = r.pending.find('\n');
        if (nl != std::string::npos) {
            std::string line = r.pending.substr(0, nl + 1);
            r.pending.erase(0, nl + 1);
            return line;
        }
        if (!Readable(r.fd, deadline)) {
            ADD_FAILURE() << "no line from the child within " << kDeadline.count() << " s";
            return "";
        }
        char buf[4096];
        const ssize_t n = read(r.fd, buf, sizeof buf);
        if (n <= 0) return std::exchange(r.pending, "");
        r.pending.append(buf, static_cast<size_t>(n));
    }
}

// Waits for `pid` to end; past the deadline the test fails and the child is killed.
int WaitExit(pid_t pid) {
    const int pidFd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidFd >= 0 && !Readable(pidFd, std::chrono::steady_clock::now() + kDeadline)) {
        ADD_FAILURE() << "pid " << pid << " did not end within " << kDeadline.count() << " s";
        kill(pid, SIGKILL);
    }
    if (pidFd >= 0) close(pidFd);
    int status = 0;
    waitpid(pid, &status, 0);
    return ExitCode(status);
}

// Starts `program`: standard input from `inFd` (or /dev/null), output and error to the given
// descriptors.
pid_t Spawn(const std::string& program, const std::vector<std::string>& args, int inFd, int outFd,
            int errFd) {
    const pid_t pid = fork();
    if (pid == 0) {
        const int in = inFd >= 0 ? inFd : open("/dev/null", O_RDONLY);
        dup2(in, 0);
        dup2(outFd, 1);
        dup2(errFd, 2);
        auto argv = Argv(program, args);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    return pid;
}

}  // namespace

CRun RunCli(const std::vector<std::string>& args, const std::string& input) {
    return RunProgram((kBin / "zoltcfg").string(), args, input);
}

CRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                const std::string& input) {
    CTempDir tmp("zoltcfg-cli-run");
    const fs::path in = tmp / "in", out = tmp / "out", err = tmp / "err";
    WriteFile(in, input);
    const int inFd = open(in.c_str(), O_RDONLY);
    const int outFd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int errFd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const pid_t pid = Spawn(program, args, inFd, outFd, errFd);
    close(inFd);
    close(outFd);
    close(errFd);
    const int code = WaitExit(pid);
    return {code, ReadFile(out), ReadFile(err)};
}

CDaemon::CDaemon(const fs::path& dir, const std::vector<std::string>& args)
    : m_Dir(dir),
      m_Home("ZOLTCFG_HOME", (dir / "home").string()),
      m_Runtime("ZOLTCFG_RUNTIME_DIR", (dir / "run").string()),
      m_Registry("ZOLTCFG_REGISTRY", (dir / "registry").string()) {
    fs::create_directories(dir);
    int outPipe[2];
    if (pipe(outPipe) != 0) return;
    const int errFd = open((dir / "zoltcfgd.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    m_Pid = Spawn((kBin / "zoltcfgd").string(), args, -1, outPipe[1], errFd);
    close(outPipe[1]);
    close(errFd);
    m_Out.fd = outPipe[0];
    m_strReady = ReadLine(m_Out);  // the daemon serves once it has written this line
}

CDaemon::~CDaemon() {
    if (m_Pid > 0) Stop(SIGTERM);
    if (m_Out.fd >= 0) close(m_Out.fd);
}

int CDaemon::Stop(int signal) {
    kill(m_Pid, signal);
    const int code = WaitExit(m_Pid);
    m_Pid = -1;
    return code;
}

CRun CDaemon::Cli(const std::vector<std::string>& args, const std::string& input) const {
    testsupport::CScopedEnv home("ZOLTCFG_HOME", (m_Dir / "home").string());
    testsupport::CScopedEnv runtime("ZOLTCFG_RUNTIME_DIR", (m_Dir / "run").string());
    testsupport::CScopedEnv registry("ZOLTCFG_REGISTRY", (m_Dir / "registry").string());
    return RunCli(args, input);
}

CBackgroundCli::CBackgroundCli(const std::vector<std::string>& args) {
    int outPipe[2], errPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0) return;
    m_Pid = Spawn((kBin / "zoltcfg").string(), args, -1, outPipe[1], errPipe[1]);
    close(outPipe[1]);
    close(errPipe[1]);
    m_Out.fd = outPipe[0];
    m_Err.fd = errPipe[0];
}

CBackgroundCli::~CBackgroundCli() {
    if (m_Pid > 0) {
        kill(m_Pid, SIGKILL);
        waitpid(m_Pid, nullptr, 0);
    }
    if (m_Out.fd >= 0) close(m_Out.fd);
    if (m_Err.fd >= 0) close(m_Err.fd);
}

std::string CBackgroundCli::OutLine() {
    return ReadLine(m_Out);
}

std::string CBackgroundCli::ErrLine() {
    return ReadLine(m_Err);
}

void CBackgroundCli::Signal(int signal) {
    if (m_Pid > 0) kill(m_Pid, signal);
}

int CBackgroundCli::Wait() {
    const int code = WaitExit(m_Pid);
    m_Pid = -1;
    return code;
}

}  // namespace testsupport
