// The process helpers of the CLI tests (see CliProcess.h).
// Thread rule: the test's main thread only.
#include "tests/tools/CliProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace clitest {

namespace {

const fs::path kBin = fs::path(ZOLT_TEST_BINARY_DIR);

std::vector<char*> Argv(const std::string& program, const std::vector<std::string>& args) {
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    return argv;
}

int ExitCode(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string ReadLine(FILE* f) {
    std::string line;
    char buf[4096];
    while (fgets(buf, sizeof buf, f)) {
        line += buf;
        if (!line.empty() && line.back() == '\n') break;
    }
    return line;
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
    testsupport::CTempDir tmp("zoltcfg-cli-run");
    const fs::path in = tmp / "in", out = tmp / "out", err = tmp / "err";
    testsupport::WriteFile(in, input);
    const int inFd = open(in.c_str(), O_RDONLY);
    const int outFd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int errFd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const pid_t pid = Spawn((kBin / "zoltcfg").string(), args, inFd, outFd, errFd);
    close(inFd);
    close(outFd);
    close(errFd);
    int status = 0;
    waitpid(pid, &status, 0);
    return {ExitCode(status), testsupport::ReadFile(out), testsupport::ReadFile(err)};
}

CDaemon::CDaemon(const fs::path& dir)
    : m_Dir(dir),
      m_Home("ZOLTCFG_HOME", (dir / "home").string()),
      m_Runtime("ZOLTCFG_RUNTIME_DIR", (dir / "run").string()),
      m_Registry("ZOLTCFG_REGISTRY", (dir / "registry").string()) {
    fs::create_directories(dir);
    int outPipe[2];
    if (pipe(outPipe) != 0) return;
    const int errFd = open((dir / "zoltcfgd.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    m_Pid = Spawn((kBin / "zoltcfgd").string(), {}, -1, outPipe[1], errFd);
    close(outPipe[1]);
    close(errFd);
    m_pOut = fdopen(outPipe[0], "r");
    m_strReady = ReadLine(m_pOut);  // the daemon serves once it has written this line
}

CDaemon::~CDaemon() {
    if (m_Pid > 0) {
        kill(m_Pid, SIGTERM);
        int status = 0;
        waitpid(m_Pid, &status, 0);
    }
    if (m_pOut) fclose(m_pOut);
}

CRun CDaemon::Cli(const std::vector<std::string>& args, const std::string& input) const {
    return RunCli(args, input);
}

CBackgroundCli::CBackgroundCli(const std::vector<std::string>& args) {
    int outPipe[2], errPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0) return;
    m_Pid = Spawn((kBin / "zoltcfg").string(), args, -1, outPipe[1], errPipe[1]);
    close(outPipe[1]);
    close(errPipe[1]);
    m_pOut = fdopen(outPipe[0], "r");
    m_pErr = fdopen(errPipe[0], "r");
}

CBackgroundCli::~CBackgroundCli() {
    if (m_Pid > 0) {
        kill(m_Pid, SIGKILL);
        waitpid(m_Pid, nullptr, 0);
    }
    if (m_pOut) fclose(m_pOut);
    if (m_pErr) fclose(m_pErr);
}

std::string CBackgroundCli::OutLine() {
    return ReadLine(m_pOut);
}

std::string CBackgroundCli::ErrLine() {
    return ReadLine(m_pErr);
}

void CBackgroundCli::Signal(int signal) {
    if (m_Pid > 0) kill(m_Pid, signal);
}

int CBackgroundCli::Wait() {
    int status = 0;
    waitpid(m_Pid, &status, 0);
    m_Pid = -1;
    return ExitCode(status);
}

}  // namespace clitest
