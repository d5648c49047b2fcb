// The readiness and stop notices of the daemon, through libsystemd's sd_notify.
// Thread rule: any thread.
#include "tools/zoltcfgd/SystemdNotify.h"

#include <systemd/sd-daemon.h>

namespace zoltcfgd {

void NotifyReady(const std::string& status) {
    const std::string state = "READY=1\nSTATUS=" + status;
    sd_notify(0, state.c_str());
}

void NotifyStopping() {
    sd_notify(0, "STOPPING=1\nSTATUS=stopping");
}

}  // namespace zoltcfgd
