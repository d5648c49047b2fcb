// The restart of the product's database service while a virtual server comes on line: the
// policy (registry value "RestartSQLServiceWhenResourceOnline" of the product key, honoured only
// on a single-copy cluster) and the restart itself (the unit named by the product key's value
// "DatabaseService", default postgresql.service), within a budget of 180 s.
// Thread rule: no state; each restart opens its own service manager.
#pragma once

#include "outside/common/CTickClock.h"
#include "outside/common/x_wstring.h"

namespace NS_DatabaseService {

enum : int { kModeNever = 0, kModeBeforeOpen = 1, kModeOnError = 2 };
constexpr int kBudgetMs = 180000;
constexpr int kFallbackStartMs = 10000;

// 0 never, 1 before the first attempt to open, 2 after the first failed attempt.
int QueryRestartMode();
// The unit of the database service.
OS::x_wstring ServiceName();
// Stops (unless stopped) and starts (unless running) the database service; logs and swallows
// every failure of the service manager.
void Restart(OS::CTickClock& clock = OS::CTickClock::System());

}  // namespace NS_DatabaseService
