// CServiceManager: one unit of the machine's service manager (systemd), driven through its
// command (`systemctl`; ZOLTCFG_SYSTEMCTL or SetCommand name another, so tests use a fake).
// States: `active` is running (4), `inactive` and `failed` stopped (1), `deactivating` stop
// pending (3), anything else start pending (2).
// Failures (the command missing, killed, or a stop or start it refuses) throw OS::CException
// with the command's exit status as code (127 when it cannot run, 124 when it overran).
// Thread rule: one thread at a time per object; SetCommand before other threads use the class.
#pragma once

#include <string>

#include "outside/common/CTickClock.h"
#include "outside/common/x_wstring.h"

class CServiceManager {
  public:
    enum : unsigned long { kStopped = 1, kStartPending = 2, kStopPending = 3, kRunning = 4 };
    static constexpr uint32_t kPollMs = 500;
    // Time one command may take before it is killed.
    static constexpr int kCommandLimitMs = 30000;

    // `machine` must be null or empty: only this machine's units are reachable.
    CServiceManager(const OS::x_wstring& service, const wchar_t* machine = nullptr,
                    OS::CTickClock& clock = OS::CTickClock::System());

    unsigned long QueryServiceStatus();
    // Asks the unit to stop (start) and polls its state every 500 ms until it is stopped
    // (running) or `timeoutMs` have passed; `state` is the last state read.
    void Stop(int timeoutMs, int reserved, unsigned long& state);
    void Start(int timeoutMs, int reserved, unsigned long& state);

    // The command used from now on; empty: ZOLTCFG_SYSTEMCTL, else "systemctl".
    static void SetCommand(const std::string& command);
    static std::string Command();

  private:
    // Runs the command with `verb` and the unit; its first output line into `out`; its exit
    // status as result.
    int Run(const char* verb, std::string& out);
    void Change(const char* verb, unsigned long target, int timeoutMs, unsigned long& state);

    std::string m_unit;
    OS::CTickClock& m_clock;
};
