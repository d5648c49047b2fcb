// zoltcfgd: the process that hosts the configuration service for "ID_ZOLT_MASTER" (or, with
// --system-watcher, the system watcher's for "ID_ZOLT_SYSTEM_WATCHER"). It prepares its home
// (config/, data/ with the SQLite database unless the connection file names a database server,
// log/), serves until SIGTERM or SIGINT, and refuses to start when another instance already
// serves the endpoint (exit code 1). It tells systemd when it serves and when it stops.
// `--check` only checks the home and says what is wrong.
// When TLS is configured (the registry's "Remote" values or the options) it also serves the
// remote service "ID_ZOLT_REMOTE_CFG" on TCP with mutual TLS, relaying to its own master;
// otherwise nothing listens on the network.
// Thread rule: the main thread sets up, waits for the stop signal and tears down; requests run
// on the RPC library's threads, which never see SIGTERM or SIGINT (blocked before they start).
#include <malloc.h>
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>

#include "cfg_Client.h"
#include "cfg_Service.h"
#include "outside/common/x_wstring.h"
#include "outside/db/CDBException.h"
#include "outside/rpc/CRPCException.h"
#include "tools/zoltcfgd/DaemonHome.h"
#include "tools/zoltcfgd/MetricsHttp.h"
#include "tools/zoltcfgd/SystemdNotify.h"

#ifndef ZOLTCFG_VERSION
#define ZOLTCFG_VERSION "unknown"
#endif

namespace {
constexpr wchar_t kComponent[] = L"ID_ZOLT_MASTER";
constexpr wchar_t kRemoteComponent[] = L"ID_ZOLT_REMOTE_CFG";

std::string Narrow(const OS::x_wstring& s) {
    return s.ToUtf8();
}

void Log(CCfgLog::Kind kind, const std::string& text) {
    CCfgLog::Write(kind, "zoltcfgd", "zoltcfgd: " + text);
}

void LogNotStarted(const OS::CException& e) {
    Log(CCfgLog::Kind::kError, "not started: " + Narrow(e.GetErrorMsg()) + " (code " +
                                   std::to_string(e.GetErrorCode()) + ")");
    CCfgLog::Flush();
}
// "ADDR:PORT" or "[ADDR]:PORT" into `s`; false when it is not that.
bool ParseListen(const std::string& text, CCfgRemoteTls& s) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon + 1 == text.size()) return false;
    std::string address = text.substr(0, colon);
    if (address.size() >= 2 && address.front() == '[' && address.back() == ']')
        address = address.substr(1, address.size() - 2);
    char* end = nullptr;
    const long port = std::strtol(text.c_str() + colon + 1, &end, 10);
    if (*end != '\0' || port <= 0 || port > 65535) return false;
    s.listenAddress = address;
    s.port = static_cast<unsigned short>(port);
    return true;
}
}  // namespace

int main(int argc, char** argv) {
    // A batch's request and reply buffers (up to a few MiB) come from the heap and are used again
    // by the next batch, not mapped afresh for each one and faulted in page by page; the heap
    // keeps at most 16 MiB of freed memory at its top before giving it back.
    mallopt(M_MMAP_THRESHOLD, 4 << 20);
    mallopt(M_TRIM_THRESHOLD, 16 << 20);
    std::string home, runtimeDir, metricsAddress;
    bool foreground = true, verbose = false, check = false, systemWatcher = false;
    CLI::App app{"zoltcfgd: the configuration service (ID_ZOLT_MASTER)"};
    app.set_version_flag("--version", std::string("zoltcfgd ") + ZOLTCFG_VERSION);
    app.add_option(
        "--home", home,
        "home folder (default: the registry's HomeDir, else $ZOLTCFG_HOME, else /var/lib/zoltcfg)");
    app.add_option("--runtime-dir", runtimeDir,
                   "folder of the local endpoints (default: $ZOLTCFG_RUNTIME_DIR, else "
                   "/run/zoltcfg for root, else $XDG_RUNTIME_DIR/zoltcfg)");
    app.add_flag("--foreground", foreground, "stay in the foreground (the only mode; default)");
    app.add_flag("--verbose", verbose,
                 "log the entry and exit of every operation (the same as --log-level trace)");
    std::string logLevel = "notices";
    app.add_option("--log-level", logLevel,
                   "what the log holds: errors (warnings and errors), notices (also start-up "
                   "notes; the default), info (also a line or more per setting handled), trace "
                   "(also the entry and exit of every operation)")
        ->check(CLI::IsMember({"errors", "notices", "info", "trace"}));
    app.add_flag("--check", check,
                 "check the home (connection file, schema, database integrity and tables) "
                 "without starting or changing anything; exit 0 when it can serve, else 1");
    std::string remoteListen, tlsCert, tlsKey, tlsCa;
    std::vector<std::string> tlsAllow;
    app.add_option("--remote-listen", remoteListen,
                   "ADDR:PORT of the remote service (default: the registry's Remote values)");
    app.add_option("--tls-cert", tlsCert, "this node's certificate (PEM) for the remote service");
    app.add_option("--tls-key", tlsKey, "the certificate's private key (PEM)");
    app.add_option("--tls-ca", tlsCa, "the CA that signs the certificates of every node (PEM)");
    app.add_option("--tls-allow", tlsAllow,
                   "a certificate name (CN or DNS) allowed to connect; repeatable (default: any "
                   "the CA signed)");
    app.add_flag(
        "--system-watcher", systemWatcher,
        "host the system watcher's service (ID_ZOLT_SYSTEM_WATCHER) instead of the master's");
    app.add_option("--metrics", metricsAddress,
                   "serve GET /metrics (Prometheus text format) over HTTP on ADDR:PORT; nothing "
                   "listens without it");
    CLI11_PARSE(app, argc, argv);

    // The remote service's TLS: the registry's values, each replaced by its option when given.
    // The same settings serve other computers and reach them.
    CCfgRemoteTls tls = CCfgRemoteTls::FromRegistry();
    if (!remoteListen.empty() && !ParseListen(remoteListen, tls)) {
        std::cerr << "zoltcfgd: --remote-listen " << remoteListen << " is not ADDR:PORT\n";
        return 2;
    }
    if (!tlsCert.empty()) tls.certFile = tlsCert;
    if (!tlsKey.empty()) tls.keyFile = tlsKey;
    if (!tlsCa.empty()) tls.caFile = tlsCa;
    if (!tlsAllow.empty()) tls.allowedNames = tlsAllow;
    const bool anyTls = !tls.certFile.empty() || !tls.keyFile.empty() || !tls.caFile.empty();
    if ((anyTls || !remoteListen.empty()) && !tls.Configured()) {
        std::cerr << "zoltcfgd: not starting: the remote service needs a certificate, its key and "
                     "a CA file (--tls-cert, --tls-key, --tls-ca or the registry's Remote "
                     "values)\n";
        return 1;
    }
    tls.Apply();

    // Endpoints and the store read these from the environment.
    if (!runtimeDir.empty()) setenv("ZOLTCFG_RUNTIME_DIR", runtimeDir.c_str(), 1);
    std::string homeWhy;
    const std::filesystem::path homeDir = zoltcfgd::ResolveHome(home, homeWhy);
    setenv("ZOLTCFG_HOME", homeDir.c_str(), 1);

    if (check) {
        const std::vector<std::string> problems = zoltcfgd::CheckHome(homeDir);
        for (const auto& p : problems)
            std::cerr << "zoltcfgd: " << homeDir.string() << ": " << p << "\n";
        if (!problems.empty()) return 1;
        std::printf("zoltcfgd: home %s is fit to serve (from %s)\n", homeDir.c_str(),
                    homeWhy.c_str());
        return 0;
    }

    try {
        zoltcfgd::PrepareHome(homeDir);
    } catch (const std::exception& e) {
        std::cerr << "zoltcfgd: cannot prepare home " << homeDir.string() << ": " << e.what()
                  << "\n";
        return 1;
    }
    const std::string logFile = (homeDir / "log" / "zoltcfgd.log").string();
    try {
        CCfgLog::ToFile(logFile);
    } catch (const OS::CException& e) {
        std::cerr << "zoltcfgd: cannot open log file " << logFile << ": " << Narrow(e.GetErrorMsg())
                  << "\n";
        return 1;
    }
    // Information lines come several per setting a request handles: a replication of ten
    // thousand settings would fill the log and rotate away its warnings, so they are asked for.
    if (verbose) logLevel = "trace";
    CCfgLog::SetVerbosity(logLevel == "trace"    ? CCfgLog::Verbosity::kTrace
                          : logLevel == "info"   ? CCfgLog::Verbosity::kInfo
                          : logLevel == "errors" ? CCfgLog::Verbosity::kErrors
                                                 : CCfgLog::Verbosity::kNotices);
    Log(CCfgLog::Kind::kStartup, "home " + homeDir.string() + ", from " + homeWhy);

    // Block the stop signals before any thread starts, so only sigwait below receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    const OS::x_wstring component = systemWatcher ? L"ID_ZOLT_SYSTEM_WATCHER" : kComponent;
    const std::string name = Narrow(component);
    // The metrics address is taken before the service starts, so a taken one stops us first.
    std::unique_ptr<zoltcfgd::CMetricsHttp> metrics;
    if (!metricsAddress.empty()) {
        metrics = std::make_unique<zoltcfgd::CMetricsHttp>(component);
        const std::string problem = metrics->Bind(metricsAddress);
        if (!problem.empty()) {
            std::cerr << "zoltcfgd: not starting: " << problem << "\n";
            Log(CCfgLog::Kind::kError, "not started: " + problem);
            CCfgLog::Flush();
            return 1;
        }
    }
    std::string socket;
    std::unique_ptr<CCfgControl> service, remote;
    try {
        socket = CCfgControl::LocalEndpoint(component);
        // Given no store, the service runs the cluster observer: the home's database for this
        // machine's names, and one database per virtual server on line on this node.
        if (systemWatcher)
            service = std::make_unique<CCfgControlSW>();
        else
            service = std::make_unique<CCfgControl>(kComponent, nullptr, false);
        // The remote service relays to this process's master: the system watcher has none.
        if (tls.Configured() && !systemWatcher)
            remote = std::make_unique<CCfgControl>(kRemoteComponent, nullptr, true);
    } catch (const CRPCException& e) {
        if (service) {
            std::cerr << "zoltcfgd: cannot serve ID_ZOLT_REMOTE_CFG: " << Narrow(e.GetErrorMsg())
                      << "\n";
        } else if (e.GetErrorCode() == CRPCException::ENDPOINT_IN_USE) {
            std::cerr << "zoltcfgd: " << name << " is already served at " << socket
                      << " by another running zoltcfgd; not starting\n";
        } else {
            std::cerr << "zoltcfgd: cannot create the endpoint of " << name << ": "
                      << Narrow(e.GetErrorMsg()) << "\n";
        }
        LogNotStarted(e);
        return 1;
    } catch (const CDBException& e) {
        // The administrator's own files and database server (wrong host, password or database
        // name): what is wrong is said without the source position.
        if (e.GetErrorCode() == CDBException::kSchemaFile ||
            e.GetErrorCode() == CDBException::kConnectionFile ||
            e.GetErrorCode() == CDBException::kCannotOpen)
            std::cerr << "zoltcfgd: not starting: " << Narrow(e.GetErrorMsg()) << "\n";
        else
            std::cerr << "zoltcfgd: cannot start: " << Narrow(e.GetErrorMsgEx()) << "\n";
        LogNotStarted(e);
        return 1;
    } catch (const OS::CException& e) {
        std::cerr << "zoltcfgd: cannot start: " << Narrow(e.GetErrorMsgEx()) << "\n";
        LogNotStarted(e);
        return 1;
    }

    std::string names;
    for (const auto& n : CCfgLocalServerDB::DefaultServerNames())
        names += (names.empty() ? "" : ", ") + Narrow(n);
    Log(CCfgLog::Kind::kStartup, "serving " + name + " at " + socket + " (home " +
                                     homeDir.string() + ", servers " + names + ")");
    CCfgLog::Flush();
    std::printf("zoltcfgd: serving %s at %s (home %s)\n", name.c_str(), socket.c_str(),
                homeDir.c_str());
    if (remote) {
        const std::string at = (tls.listenAddress.empty() ? std::string("*") : tls.listenAddress) +
                               ":" + std::to_string(tls.ServicePort());
        Log(CCfgLog::Kind::kStartup, "serving ID_ZOLT_REMOTE_CFG at tls:" + at);
        std::printf("zoltcfgd: serving ID_ZOLT_REMOTE_CFG at tls:%s\n", at.c_str());
    }
    if (metrics) {
        metrics->Start();
        std::printf("zoltcfgd: metrics at http://%s/metrics\n", metricsAddress.c_str());
    }
    std::fflush(stdout);
    zoltcfgd::NotifyReady("serving " + name + " at " + socket);

    int signal = 0;
    sigwait(&stopSignals, &signal);
    zoltcfgd::NotifyStopping();
    Log(CCfgLog::Kind::kStartup, "stopping on signal " + std::to_string(signal));
    metrics.reset();
    remote.reset();
    service.reset();
    Log(CCfgLog::Kind::kStartup, "stopped");
    CCfgLog::Flush();
    std::printf("zoltcfgd: stopped\n");
    std::fflush(stdout);
    return 0;
}
