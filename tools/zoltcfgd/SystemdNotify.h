// Tells systemd how the daemon stands (a unit of Type=notify waits for "ready"). Without a
// notification socket (not started by systemd) every call does nothing.
// Thread rule: any thread; each call sends one datagram.
#pragma once

#include <string>

namespace zoltcfgd {

// The service serves: systemd may start the units ordered after it. `status` is shown by
// `systemctl status`.
void NotifyReady(const std::string& status);

// The service has begun to stop.
void NotifyStopping();

}  // namespace zoltcfgd
