// OS::CTickClock: the millisecond tick count and the sleep of the code that waits or retries,
// behind one seam so that tests drive time themselves (a fake whose Sleep advances its Now).
// Thread rule: System() is safe from any thread; a fake is the test's own affair.
#pragma once

#include <cstdint>

namespace OS {

class CTickClock {
  public:
    virtual ~CTickClock() = default;
    // Milliseconds on a steady clock (the origin is arbitrary).
    virtual uint64_t Now() = 0;
    virtual void Sleep(uint32_t ms) = 0;
    // The steady clock of the machine.
    static CTickClock& System();
};

}  // namespace OS
