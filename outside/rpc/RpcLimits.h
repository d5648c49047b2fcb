// The limits every endpoint of this machine keeps against clients that send slowly, announce
// more than they send, or open too many connections, and the back-off of an endpoint that runs
// out of threads or descriptors.
// Thread rule: the settings are atomic; a CBackoff belongs to one thread.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <string>

namespace RPC {

// The time a frame may take to arrive whole once its first bytes came (30 s unless changed;
// tests shorten it). A connection whose frame misses it is closed.
std::chrono::milliseconds FrameDeadline();
void SetFrameDeadline(std::chrono::milliseconds deadline);

// The connections one endpoint serves at once: the registry value "MaxConnections" of the
// product key when it is a positive number, else kDefaultMaxConnections. Read when an endpoint
// is created.
constexpr size_t kDefaultMaxConnections = 256;
size_t MaxConnections();

// The waits of an endpoint that cannot accept or start a connection: 100 ms, doubling up to 1 s,
// back to 100 ms after a success.
class CBackoff {
  public:
    std::chrono::milliseconds Next() {
        m_delay = m_delay.count() == 0 ? kFirst : std::min(kLast, m_delay * 2);
        return m_delay;
    }
    void Reset() { m_delay = std::chrono::milliseconds(0); }

  private:
    static constexpr std::chrono::milliseconds kFirst{100};
    static constexpr std::chrono::milliseconds kLast{1000};
    std::chrono::milliseconds m_delay{0};
};

}  // namespace RPC
