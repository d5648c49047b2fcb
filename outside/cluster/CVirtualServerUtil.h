// CVirtualServerUtil: the virtual servers of this machine and the cluster facts, read from the
// registry file (product key, subkey "Cluster"):
//   "IsCluster", "QuorumMode" (32-bit numbers), "NodeName" (default: the host name's first label),
//   "VirtualServers\<name>": "RootFolder", "Nodes" (names separated by ';'), "Online" (1 while the
//   server runs on this node).
// This machine is a virtual server of itself: its host name, short name and "localhost" resolve
// to the home folder, always on line, whatever the registry holds.
// Thread rule: no shared state; every call reads the registry file afresh.
#pragma once

#include <vector>

#include "outside/cluster/CClusterVirtualServerInfo.h"
#include "outside/common/x_wstring.h"

class CVirtualServerUtil {
  public:
    // The key under HKEY_LOCAL_MACHINE that holds the cluster facts.
    static OS::x_wstring ClusterKey();

    // Fills `info` for the server `request` names (compared without regard to case); false when
    // no such server is known or its root folder is missing or too long.
    static bool QueryServerInfo(const CClusterVirtualServerLookupRequest& request,
                                CClusterVirtualServerInfo& info);
    // The servers that may run on this node (this machine first, then each virtual server whose
    // node list is empty or names this node). With a null `array` sets `*count`; otherwise fills
    // at most `*count` entries and sets `*count` to the number filled. 0 on success, 2 when
    // `count` is null or the registry cannot be read.
    static int EnumServersOnCurrentNode(CClusterVirtualServerInfo* array, int* count);
    // "IsCluster" is non-zero.
    static bool CheckIsClusterByRegKey();
    // "QuorumMode" (0 when absent); 1 marks a single-copy cluster.
    static int GetClusterQuorumModeByRegKey();

    // This node's name: "NodeName", else the host name's first label.
    static OS::x_wstring NodeName();
    // This machine's own names: the host name, its first label when it has a domain part, and
    // "localhost".
    static std::vector<OS::x_wstring> LocalNames();
    static bool IsLocalName(const OS::x_wstring& name);
    // The virtual servers the registry names, in its order.
    static std::vector<OS::x_wstring> ListServers();
    // Records whether `name` runs on this node ("Online"); false when the server is not
    // configured or the registry cannot be written.
    static bool SetServerOnline(const OS::x_wstring& name, bool online);
};
