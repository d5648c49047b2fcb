// The audit-log layer: one entry per recorded change, appended as one line to the audit file of
// this machine's home, <home>/log/audit.log (the folder is created when missing). A line holds
// eight tab-separated UTF-8 columns (tabs and line breaks inside a value become blanks):
//
//   time (UTC, YYYY-MM-DDTHH:MM:SSZ)  event type  source type  server  originator
//   source server  log path  text
//
// The log path is the virtual server's log store as the caller found it (may be empty); it is
// recorded, not written to. See docs/outside-layers.md.
// Thread rule: entries of several threads and processes never interleave (one append each).
#pragma once

#include "outside/audit/SourceType.h"
#include "outside/common/x_wstring.h"

namespace NS_Audit {

// Event types of an entry.
enum : int {
    kEventSettingsReplicated = 2,
};

// <home>/log/audit.log, the home being the registry layer's (OS::GetHomeDir).
OS::x_wstring AuditLogFile();

}  // namespace NS_Audit

// Appends one entry; 0 when it was written, -1 when the file could not be written (logged).
int InsertAuditLog(const OS::x_wstring& server, const OS::x_wstring& originator,
                   const OS::x_wstring& sourceServer, int eventType, int sourceType,
                   const OS::x_wstring& text, const OS::x_wstring& logPath);
