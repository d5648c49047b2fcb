// The master service of this process, asked without a connection to itself: the daemon hosts
// the master, and a request a handler of it makes to the master (the batch audit's log path)
// need not go out through the master's own endpoint and back in on another thread.
// Thread rule: any thread; the master cannot go while a call to it runs.
#pragma once

#include "outside/ipc/CIPCMsgBuffer.h"

namespace NS_InProcessMaster {

// Hands `request` (the bytes behind the message id) to the master service of this process as
// its endpoint would, and its answer to `reply`: true. False when no master serves in this
// process (nothing done). REQUIRES: the caller holds no lock the master's handler takes.
bool Ask(int messageId, const CIPCMsgBuffer& request, CIPCMsgBuffer& reply);

}  // namespace NS_InProcessMaster
