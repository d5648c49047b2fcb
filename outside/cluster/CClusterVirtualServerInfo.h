// CClusterVirtualServerInfo: what the cluster layer knows of one virtual server (on-line flag,
// name, root folder, nodes), and CClusterVirtualServerLookupRequest, a look-up by name. Both
// travel in message buffers (cluster notifications, requests 337 and the file requests).
//
// Buffer form of CClusterVirtualServerInfo (the message buffer's item encoding):
//   info      = online name root nodeCount nodes
//   online    = bool                      (1 byte, 0 or 1)
//   name      = x_wstring                 (uint32 byte count, UTF-8; at most 511 characters)
//   root      = x_wstring                 (the same; at most 511 characters)
//   nodeCount = int                       (4 bytes little-endian)
//   nodes     = vector<x_wstring>         (uint32 element count, then each name)
// A name or root folder longer than 511 characters, or a negative node count, is refused on
// reading (CIPCMsgBufferException BAD_LENGTH); the node count may differ from the list's size,
// users read at most min(nodeCount, nodes.size()) names.
// Buffer form of CClusterVirtualServerLookupRequest: int 1, name, int 0.
// Thread rule: plain values; one thread at a time per object.
#pragma once

#include <vector>

#include "outside/common/x_wstring.h"
#include "outside/ipc/CIPCMsgBuffer.h"

class CClusterVirtualServerInfo {
  public:
    // Name and root folder hold at most this many characters, the terminator included.
    static constexpr size_t kMaxText = 512;

    bool m_bOnline = false;
    OS::x_wstring m_strName;
    OS::x_wstring m_strRootFolder;
    int m_nNodeCount = 0;
    std::vector<OS::x_wstring> m_vecNodes;

    // Sets the node list and its count together.
    void SetNodes(std::vector<OS::x_wstring> nodes);
    // The node names a reader may use: the first min(count, list size).
    std::vector<OS::x_wstring> UsableNodes() const;
    bool operator==(const CClusterVirtualServerInfo& other) const = default;
};

// Writes `info`; throws CIPCMsgBufferException BAD_LENGTH when its name or root is too long.
CIPCMsgBuffer& operator<<(CIPCMsgBuffer& buffer, const CClusterVirtualServerInfo& info);
// Reads `info` (unchanged on failure); throws CIPCMsgBufferException as above.
const CIPCMsgBuffer& operator>>(const CIPCMsgBuffer& buffer, CClusterVirtualServerInfo& info);

class CClusterVirtualServerLookupRequest {
  public:
    explicit CClusterVirtualServerLookupRequest(OS::x_wstring name = {})
        : m_strName(std::move(name)) {}
    int m_nByName = 1;
    OS::x_wstring m_strName;
    int m_nReserved = 0;
};

CIPCMsgBuffer& operator<<(CIPCMsgBuffer& buffer, const CClusterVirtualServerLookupRequest& req);
const CIPCMsgBuffer& operator>>(const CIPCMsgBuffer& buffer,
                                CClusterVirtualServerLookupRequest& req);
