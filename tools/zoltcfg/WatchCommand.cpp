// zoltcfg watch: observes subjects through a caching proxy and prints every change notification
// the daemon publishes on them (server, policy subject, subject, change kind), one line each,
// until SIGINT or SIGTERM, or until a given number of notifications has been printed; in the
// foreground, or in the background once it listens (for scripts and the README's tour).
// Thread rule: the main thread sets up and waits for a stop signal; the hook runs on the
// change-notification thread and writes standard output under its own lock. The stop signals
// are blocked before any library thread starts, so only the main thread's sigwait takes them.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <nlohmann/json.hpp>

#include "cfg_Client.h"
#include "tools/zoltcfg/CliError.h"
#include "tools/zoltcfg/Commands.h"

namespace zoltcli {

namespace {

std::string ChangeName(int kind) {
    switch (kind) {
        case 3:
            return "written";
        case 4:
            return "deleted";
        case 5:
            return "loaded";
        case 6:
            return "unloaded";
        default:
            return "change " + std::to_string(kind);
    }
}

class CPrintHook : public CCfgProxyHook {
  public:
    CPrintHook(bool json, unsigned limit) : m_bJson(json), m_uLimit(limit) {}

    long NotifyCallBack(const OS::x_wstring& server, const CSubjectID& policySubject,
                        const CSubjectID& subject, int changeKind) override {
        std::string line;
        if (m_bJson) {
            nlohmann::ordered_json j;
            j["server"] = server.ToUtf8();
            j["policy"] = policySubject.ToString().ToUtf8();
            j["subject"] = subject.ToString().ToUtf8();
            j["change"] = ChangeName(changeKind);
            j["kind"] = changeKind;
            line = j.dump();
        } else {
            line = server.ToUtf8() + " " + policySubject.ToString().ToUtf8() + " " +
                   subject.ToString().ToUtf8() + " " + ChangeName(changeKind);
        }
        std::lock_guard<std::mutex> guard(m_Mutex);
        if (m_uLimit != 0 && m_uPrinted >= m_uLimit) return 0;
        std::fputs((line + "\n").c_str(), stdout);
        std::fflush(stdout);
        if (++m_uPrinted == m_uLimit) kill(getpid(), SIGUSR1);  // enough: wake the main thread
        return 0;
    }

  private:
    bool m_bJson;
    unsigned m_uLimit;
    std::mutex m_Mutex;
    unsigned m_uPrinted = 0;  // guarded by m_Mutex
};

}  // namespace

int RunWatch(const CCliContext& ctx, const std::vector<std::string>& subjects, unsigned count,
             bool background) {
    // In the background, the watcher is a child in a session of its own and the command returns
    // once the child listens (it writes one byte on the pipe), or fails when the child could not
    // start listening (it closes the pipe and has said why). The fork comes before any thread.
    int readyFd = -1;
    if (background) {
        int fds[2];
        if (pipe(fds) != 0) throw Refused("cannot start a background watcher.");
        std::fflush(stdout);
        const pid_t pid = fork();
        if (pid < 0) throw Refused("cannot start a background watcher.");
        if (pid > 0) {
            close(fds[1]);
            char ready = 0;
            const bool listening = read(fds[0], &ready, 1) == 1;
            close(fds[0]);
            return listening ? kExitOk : kExitRefused;
        }
        close(fds[0]);
        setsid();
        readyFd = fds[1];
    }

    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    CDaemonLink link;  // refuses at once when the daemon is not there
    CPrintHook hook(ctx.json, count);
    {
        // The observer's name is unique per process, so several watchers never share one.
        CComponentID observer(Wide("ID_ZOLT_CFG_CLI_" + std::to_string(getpid())));
        struct CFactoryProxy {
            CCfgProxyBase* p;
            ~CFactoryProxy() {
                if (p) CCfgFactory::Instance()->FreeCCfgProxy(p, -1);
            }
        } owned{CCfgFactory::Instance()->CreateCCfgProxy(-1, &observer)};
        if (!owned.p) throw Refused("the library gives no proxy to watch with");
        CCfgProxyBase& proxy = *owned.p;
        proxy.Hook(hook);
        std::string names;
        for (const auto& s : subjects) {
            proxy.UpdateSubjectID(CSubjectID(Wide(s)), false);  // returns once subscribed
            names += (names.empty() ? "" : ", ") + s;
        }
        if (readyFd >= 0) {
            std::fprintf(stderr, "zoltcfg: watching %s in the background (pid %d)\n", names.c_str(),
                         static_cast<int>(getpid()));
            std::fflush(stderr);
            const char ready = 1;
            if (write(readyFd, &ready, 1) != 1) return kExitRefused;
            close(readyFd);
        } else {
            std::fprintf(stderr, "zoltcfg: watching %s (Ctrl-C to stop)\n", names.c_str());
            std::fflush(stderr);
        }
        int signal = 0;
        sigwait(&stop, &signal);
        proxy.Unhook(hook);
    }  // the proxy unsubscribes and waits for a delivery in progress before the hook goes
    return kExitOk;
}

}  // namespace zoltcli
