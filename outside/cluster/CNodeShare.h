// CNodeShare: the other nodes' shares as this machine sees them. A share path in the product's
// form, two backslashes, the node, a backslash and the rest ("\\NODE\NAME\rest"), is the folder
// <NodeShareRoot>/NODE/NAME/rest, NodeShareRoot being the registry value "NodeShareRoot" of the
// cluster key (default /var/lib/zoltcfg/nodes) under which the administrator mounts each other
// node's export. The file requests may only touch paths under the home, the virtual servers'
// root folders and NodeShareRoot (AllowedRoots).
// Thread rule: no shared state; every call reads the registry file afresh.
#pragma once

#include <vector>

#include "outside/common/x_wstring.h"

class CNodeShare {
  public:
    static constexpr const wchar_t* kDefaultRoot = L"/var/lib/zoltcfg/nodes";

    // NodeShareRoot.
    static OS::x_wstring Root();
    // `path` with a share prefix mapped under Root() and every '\' turned into '/'; any other
    // path only gets its separators turned.
    static OS::x_wstring MapPath(const OS::x_wstring& path);
    // The home, the root folder of each configured virtual server, and Root().
    static std::vector<OS::x_wstring> AllowedRoots();
    // Checks that the (mapped) share folder `path` is reachable: an existing folder this account
    // may enter and list. On failure sets `why` ("... is not mounted", "... permission denied").
    static bool Connect(const OS::x_wstring& path, OS::x_wstring& why);
    // True when `a` and `b` name the same node: their first 15 characters without regard to case.
    static bool SameNode(const OS::x_wstring& a, const OS::x_wstring& b);
};
