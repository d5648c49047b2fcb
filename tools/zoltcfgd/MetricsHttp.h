// The daemon's optional metrics endpoint: GET /metrics over HTTP on the address given with
// --metrics, answered with the service's counters in the Prometheus text format (the same
// rendering as `zoltcfg stats --prometheus`). Nothing listens unless the option is given.
// Thread rule: Bind, Start and the destructor run on the main thread; requests are answered on
// the endpoint's one thread, which asks the service for its counters like any client does.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "outside/common/x_wstring.h"

namespace httplib {
class Server;
}

namespace zoltcfgd {

class CMetricsHttp {
  public:
    // `component`: the service whose counters are served.
    explicit CMetricsHttp(const OS::x_wstring& component);
    ~CMetricsHttp();  // stops serving and waits for the thread
    CMetricsHttp(const CMetricsHttp&) = delete;
    CMetricsHttp& operator=(const CMetricsHttp&) = delete;

    // Binds "ADDR:PORT" ("[v6]:PORT" for an IPv6 address). Returns "" when bound, else one
    // sentence saying why not (a malformed address, the address in use).
    std::string Bind(const std::string& address);
    // Serves GET /metrics on the bound address from a thread of its own.
    // REQUIRES: Bind succeeded.
    void Start();

  private:
    OS::x_wstring m_component;
    std::unique_ptr<httplib::Server> m_server;
    std::atomic<bool> m_done{false};  // the serving thread has returned
    std::thread m_thread;
};

}  // namespace zoltcfgd
