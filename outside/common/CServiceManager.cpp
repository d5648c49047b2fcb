// CServiceManager over the service manager's command line.
// Thread rule: the command override is guarded by its own mutex.
#include "outside/common/CServiceManager.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <mutex>

#include "outside/common/CException.h"

extern char** environ;

namespace {
std::mutex g_mutexCommand;
std::string g_strCommand;

[[noreturn]] void Fail(int code, const std::string& what) {
    throw OS::CException(code, OS_WFILE, __LINE__, OS::x_wstring::FromUtf8(what));
}
}  // namespace

CServiceManager::CServiceManager(const OS::x_wstring& service, const wchar_t* machine,
                                 OS::CTickClock& clock)
    : m_unit(service.ToUtf8()), m_clock(clock) {
    if (machine && *machine) Fail(EINVAL, "units of other machines are not reachable");
}

void CServiceManager::SetCommand(const std::string& command) {
    std::lock_guard<std::mutex> g(g_mutexCommand);
    g_strCommand = command;
}

std::string CServiceManager::Command() {
    {
        std::lock_guard<std::mutex> g(g_mutexCommand);
        if (!g_strCommand.empty()) return g_strCommand;
    }
    const char* env = std::getenv("ZOLTCFG_SYSTEMCTL");
    return env && *env ? env : "systemctl";
}

int CServiceManager::Run(const char* verb, std::string& out) {
    const std::string command = Command();
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) Fail(errno, "cannot create a pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::string unit = m_unit;
    std::string verbText = verb;
    std::string noBlock = "--no-block";
    // A stop or start returns at once; the caller polls the state within its own budget.
    const bool query = verbText == "is-active";
    char* argv[] = {const_cast<char*>(command.c_str()), verbText.data(),
                    query ? unit.data() : noBlock.data(), query ? nullptr : unit.data(), nullptr};
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, command.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        Fail(127, command + " cannot run");
    }
    // Read what it prints, within the command's time limit; an overrun is killed.
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kCommandLimitMs);
    bool overran = false;
    char chunk[256];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        pollfd p{fds[0], POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) == 0) {
            overran = true;
            break;
        }
        const ssize_t n = read(fds[0], chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (out.size() < 4096) out.append(chunk, static_cast<size_t>(n));
    }
    close(fds[0]);
    if (overran) kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (overran) Fail(124, command + " " + verb + " " + m_unit + " overran its time limit");
    out = out.substr(0, out.find('\n'));
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    Fail(128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0), command + " ended by a signal");
}

unsigned long CServiceManager::QueryServiceStatus() {
    std::string state;
    const int rc = Run("is-active", state);
    if (state == "active") return kRunning;
    if (state == "inactive" || state == "failed") return kStopped;
    if (state == "deactivating") return kStopPending;
    // The command answers nothing it knows of: a failure of its own, not a state.
    if (state.empty()) Fail(rc ? rc : 1, Command() + " is-active " + m_unit + " answered nothing");
    return kStartPending;
}

void CServiceManager::Change(const char* verb, unsigned long target, int timeoutMs,
                             unsigned long& state) {
    std::string ignored;
    const int rc = Run(verb, ignored);
    if (rc != 0) Fail(rc, Command() + " " + verb + " " + m_unit + " failed");
    const uint64_t start = m_clock.Now();
    state = QueryServiceStatus();
    while (state != target &&
           m_clock.Now() - start < static_cast<uint64_t>(std::max(timeoutMs, 0))) {
        m_clock.Sleep(kPollMs);
        state = QueryServiceStatus();
    }
}

void CServiceManager::Stop(int timeoutMs, int, unsigned long& state) {
    Change("stop", kStopped, timeoutMs, state);
}

void CServiceManager::Start(int timeoutMs, int, unsigned long& state) {
    Change("start", kRunning, timeoutMs, state);
}
