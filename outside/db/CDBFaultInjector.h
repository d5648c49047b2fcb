// CDBFaultInjector: the fault-injection seam of the generic database layer, for tests of the
// layers above it. Faults are armed here and fire inside the next matching database operation
// of this process, as the real failure would.
//
//   FailNext(op, n)       the next n operations of kind op (kAny: any kind) throw
//                         CDBException(code, default kInjected) before touching the database.
//   LoseConnectionAt(op)  the next operation of kind op finds its connection lost: it throws
//                         kConnectionLost and IsDBStatusOK() is false until that connection is
//                         reopened (the next operation on it, ProbeLostConnections(), ...).
//   LoseAllConnections()  every open connection of the process is lost now.
//   FailReconnects(n)     the next n attempts to reopen a lost connection fail.
//   SetProbeHook(f)       f runs on the probing thread while a reopen is tried
//                         (IsProbingDBStatus() is true inside f).
//   Reset()               disarms everything and removes the hook.
// Operation kinds: OpenTable; Move (MoveFirst/MoveNext); Seek; Count (GetRecordCount);
// SetField; Update; Delete. Reads of the current row never fail.
// Thread rule: may be called from any thread; faults fire in whichever thread runs the
// operation next.
#pragma once

#include <functional>

#include "outside/db/CDBException.h"

class CDBFaultInjector {
  public:
    enum class Op { kAny, kOpenTable, kMove, kSeek, kCount, kSetField, kUpdate, kDelete };

    static void FailNext(Op op, int count = 1, int code = CDBException::kInjected);
    static void LoseConnectionAt(Op op);
    static void LoseAllConnections();
    static void FailReconnects(int count);
    static void SetProbeHook(std::function<void()> hook);
    static void Reset();
    // How many injected faults (failures and losses) have fired since the last Reset().
    static int FiredCount();
};
