// zoltcfg watch: observes subjects through a caching proxy and prints every change notification
// the daemon publishes on them (server, policy subject, subject, change kind), each followed by
// the fields that changed and from what to what ("VS_ACTION: 2 -> 3"), known by keeping the last
// values it read of each setting it has seen; after a reconnection or a gap in the notifications
// it says "missed changes: re-read" and shows what changed meanwhile. It runs until SIGINT or
// SIGTERM, or until a given number of notifications has been printed; in the foreground, or in
// the background once it listens (for scripts and the README's tour).
// Thread rule: the hook runs on the change-notification thread and only queues what it is told;
// the main thread reads the settings, prints, and takes the stop signals, which are blocked
// before any library thread starts.
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <ctime>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>

#include "cfg_Client.h"
#include "tools/zoltcfg/CliError.h"
#include "tools/zoltcfg/Commands.h"
#include "tools/zoltcfg/OutputFormat.h"

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

constexpr const char* kNone = "(none)";      // the setting is not stored
constexpr const char* kUnread = "(unread)";  // the setting was never read before

// One notification as the hook received it.
struct CNotice {
    std::string server, policy, subject;
    int kind = 0;
};

// Queues the notifications for the main thread.
class CQueueHook : public CCfgProxyHook {
  public:
    long NotifyCallBack(const OS::x_wstring& server, const CSubjectID& policySubject,
                        const CSubjectID& subject, int changeKind) override {
        std::lock_guard<std::mutex> guard(m_Mutex);
        m_vecNotices.push_back(CNotice{server.ToUtf8(), policySubject.ToString().ToUtf8(),
                                       subject.ToString().ToUtf8(), changeKind});
        return 0;
    }
    std::vector<CNotice> Take() {
        std::lock_guard<std::mutex> guard(m_Mutex);
        return std::exchange(m_vecNotices, {});
    }

  private:
    std::mutex m_Mutex;
    std::vector<CNotice> m_vecNotices;  // guarded by m_Mutex
};

// One field whose value differs from the last one read.
struct CFieldChange {
    std::string category, field, before, after;
};

// The last values read of each setting seen, and the differences a new read finds.
class CLastValues {
  public:
    CLastValues(const CCliContext& ctx, CDaemonLink& link) : m_Ctx(ctx), m_Link(link) {}

    // Reads the setting (server, policy, subject) of every category of the schema and returns
    // what differs from the last read (every stored field, from "(unread)", at the first read).
    std::vector<CFieldChange> Reread(const std::string& server, const std::string& policy,
                                     const std::string& subject) {
        const std::string id = server + "\n" + policy + "\n" + subject;
        const bool first = m_Settings.find(id) == m_Settings.end();
        auto& byCategory = m_Settings[id];
        std::vector<CFieldChange> changes;
        for (const CCliCategory& category : m_Ctx.Schema().Categories()) {
            const CSettingKey key{server, policy, category.name, subject};
            auto setting = CDaemonLink::NewSetting(key);
            std::map<std::string, std::string> now;
            if (m_Link.ReadExisting(key, *setting))
                for (const auto& [name, value] : OrderedFields(*setting, category))
                    now[name] = FormatValue(value);
            auto& before = byCategory[category.name];
            const char* missing = first ? kUnread : kNone;
            for (const auto& [name, value] : now) {
                auto it = before.find(name);
                const std::string old = it == before.end() ? missing : it->second;
                if (old != value) changes.push_back({category.name, name, old, value});
            }
            for (const auto& [name, value] : before)
                if (now.find(name) == now.end())
                    changes.push_back({category.name, name, value, kNone});
            before = std::move(now);
        }
        return changes;
    }

    // The settings read so far: server, policy, subject.
    std::vector<std::array<std::string, 3>> Known() const {
        std::vector<std::array<std::string, 3>> known;
        for (const auto& entry : m_Settings) {
            const std::string& id = entry.first;
            const size_t a = id.find('\n'), b = id.find('\n', a + 1);
            known.push_back({id.substr(0, a), id.substr(a + 1, b - a - 1), id.substr(b + 1)});
        }
        return known;
    }

  private:
    const CCliContext& m_Ctx;
    CDaemonLink& m_Link;
    // "server\npolicy\nsubject" -> category -> field -> value as text
    std::map<std::string, std::map<std::string, std::map<std::string, std::string>>> m_Settings;
};

void PrintLine(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

nlohmann::ordered_json ChangesToJson(const std::vector<CFieldChange>& changes) {
    nlohmann::ordered_json fields = nlohmann::ordered_json::array();
    for (const auto& c : changes)
        fields.push_back(
            {{"category", c.category}, {"field", c.field}, {"old", c.before}, {"new", c.after}});
    return fields;
}

// One notification and the fields it changed.
void PrintNotice(bool json, const CNotice& n, const std::vector<CFieldChange>& changes) {
    if (json) {
        nlohmann::ordered_json j;
        j["server"] = n.server;
        j["policy"] = n.policy;
        j["subject"] = n.subject;
        j["change"] = ChangeName(n.kind);
        j["kind"] = n.kind;
        j["fields"] = ChangesToJson(changes);
        PrintLine(j.dump());
        return;
    }
    std::string text = n.server + " " + n.policy + " " + n.subject + " " + ChangeName(n.kind);
    for (const auto& c : changes)
        text += "\n  " + c.category + " " + c.field + ": " + Printable(c.before) + " -> " +
                Printable(c.after);
    PrintLine(text);
}

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
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    CDaemonLink link;  // refuses at once when the daemon is not there
    CLastValues last(ctx, link);
    CQueueHook hook;
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
            last.Reread("localhost", "ZOLT_PLC_NULL", s);       // the values changes start from
            names += (names.empty() ? "" : ", ") + s;
        }
        unsigned long long reconnections = CCfgProxyBase::GetCounters().reconnections;
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
        unsigned printed = 0;
        const timespec tick{0, 100 * 1000 * 1000};
        while (count == 0 || printed < count) {
            if (sigtimedwait(&stop, nullptr, &tick) > 0) break;
            const unsigned long long now = CCfgProxyBase::GetCounters().reconnections;
            if (now != reconnections) {
                // The notifications of the gap are lost: read every known setting again.
                reconnections = now;
                if (ctx.json)
                    PrintLine(nlohmann::ordered_json{{"missed_changes", "re-read"}}.dump());
                else
                    PrintLine("missed changes: re-read");
                for (const auto& [server, policy, subject] : last.Known()) {
                    const auto changes = last.Reread(server, policy, subject);
                    if (!changes.empty())
                        PrintNotice(ctx.json, CNotice{server, policy, subject, 3}, changes);
                }
            }
            for (const CNotice& n : hook.Take()) {
                if (count != 0 && printed >= count) break;
                PrintNotice(ctx.json, n, last.Reread(n.server, n.policy, n.subject));
                ++printed;
            }
        }
        proxy.Unhook(hook);
    }  // the proxy unsubscribes and waits for a delivery in progress before the hook goes
    return kExitOk;
}

}  // namespace zoltcli
