// The daemon's HTTP metrics endpoint: address parsing, binding (refused in one sentence), and
// the /metrics handler that asks the service (request 905) and renders the Prometheus text.
// Thread rule: see MetricsHttp.h.
#include "tools/zoltcfgd/MetricsHttp.h"

#include <httplib.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "cfg_Client.h"
#include "protocol/cfg_MetricsRender.h"

namespace zoltcfgd {
namespace {
constexpr std::chrono::milliseconds kAskTimeout{5000};
}  // namespace

CMetricsHttp::CMetricsHttp(const OS::x_wstring& component)
    : m_component(component), m_server(std::make_unique<httplib::Server>()) {
    // One thread answers: a scraper asks rarely, and the answer is small.
    m_server->new_task_queue = [] { return new httplib::ThreadPool(1); };
    // Address reuse only (a restart within TIME_WAIT); never port sharing, so an address
    // another process listens on is refused.
    m_server->set_socket_options([](int sock) {
        const int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    m_server->Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
        try {
            const CCfgAgent agent(m_component, false);
            CIPCMsgBuffer request, reply;
            NS_CfgProtocol::WriteMetricsRequest(request);
            std::string endpoint;
            agent.SendRequest(request, reply, nullptr, kAskTimeout, endpoint);
            NS_CfgProtocol::CMetricsSnapshot snapshot;
            if (!NS_CfgProtocol::ReadMetricsReply(reply, snapshot)) {
                res.status = 503;
                res.set_content("the service does not tell its counters\n", "text/plain");
                return;
            }
            res.set_content(NS_CfgProtocol::RenderMetricsPrometheus(snapshot),
                            "text/plain; version=0.0.4; charset=utf-8");
        } catch (const OS::CException& e) {
            res.status = 503;
            res.set_content(
                "the service's counters could not be read: " + e.GetErrorMsg().ToUtf8() + "\n",
                "text/plain");
        }
    });
}

CMetricsHttp::~CMetricsHttp() {
    if (!m_thread.joinable()) return;
    // stop() only reaches a server that already runs: wait (bounded) for the thread to get
    // there, or to have given up.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!m_server->is_running() && !m_done.load() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    m_server->stop();
    m_thread.join();
}

std::string CMetricsHttp::Bind(const std::string& address) {
    const size_t colon = address.rfind(':');
    std::string host = colon == std::string::npos ? "" : address.substr(0, colon);
    const std::string portText = colon == std::string::npos ? "" : address.substr(colon + 1);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    int port = 0;
    bool portOk = !portText.empty() && portText.size() <= 5;
    for (char c : portText) portOk = portOk && c >= '0' && c <= '9';
    if (portOk) port = std::stoi(portText);
    if (host.empty() || !portOk || port < 1 || port > 65535)
        return "the metrics address " + address + " is not ADDR:PORT with a port from 1 to 65535";
    errno = 0;
    if (!m_server->bind_to_port(host, port)) {
        const int why = errno;
        return "cannot serve metrics on " + address + ": " +
               (why == EADDRINUSE ? std::string("the address is already in use")
                : why != 0        ? std::string(std::strerror(why))
                                  : std::string("the address cannot be bound"));
    }
    return "";
}

void CMetricsHttp::Start() {
    m_thread = std::thread([this] {
        m_server->listen_after_bind();
        m_done.store(true);
    });
}

}  // namespace zoltcfgd
