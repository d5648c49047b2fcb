// OS::CTickClock::System(): the steady clock and a real sleep.
// Thread rule: stateless.
#include "outside/common/CTickClock.h"

#include <chrono>
#include <thread>

namespace OS {
namespace {
class CSystemClock : public CTickClock {
  public:
    uint64_t Now() override {
        return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now().time_since_epoch())
                                         .count());
    }
    void Sleep(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
};
}  // namespace

CTickClock& CTickClock::System() {
    static CSystemClock clock;
    return clock;
}

}  // namespace OS
