// CStreamable: the abstract type of objects that write themselves into a message buffer and read
// themselves back from one (settings, subject ids).
// Thread rule: as the derived object's.
#pragma once

#include "cfg_Export.h"

class CIPCMsgBuffer;

class ZOLTCFG_API CStreamable {
  public:
    virtual ~CStreamable() = 0;
    virtual void operator<<(const CIPCMsgBuffer& buf) = 0;
    virtual void operator>>(CIPCMsgBuffer& buf) const = 0;
};

inline CStreamable::~CStreamable() = default;
