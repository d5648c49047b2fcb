// zoltcfg cluster: the virtual servers of this node and their moves. `status` lists them (on
// line or not, database open in the daemon or not); `online`/`offline` record a move in the
// registry and hand the cluster notification to the daemon's observer, returning once it has
// opened or closed the server's database; `replay` rewrites a server's environment setting
// through the daemon (request 337) without opening or closing anything.
// Thread rule: run on the main thread.
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include "cfg_Setting.h"
#include "outside/cluster/CClusterObserver.h"
#include "outside/cluster/CVirtualServerUtil.h"
#include "outside/rpc/CRPCClientHelper.h"
#include "outside/rpc/CRPCException.h"
#include "protocol/cfg_RequestProtocol.h"
#include "tools/zoltcfg/CliError.h"
#include "tools/zoltcfg/Commands.h"
#include "tools/zoltcfg/OutputFormat.h"

namespace zoltcli {
namespace {

const CComponentID kMaster(L"ID_ZOLT_MASTER");

std::string Unreachable(const OS::CException& e) {
    return "the daemon's cluster observer is not reachable: " + e.GetErrorMsg().ToUtf8();
}

}  // namespace

CClusterVirtualServerInfo ConfiguredVirtualServer(const std::string& name) {
    CClusterVirtualServerInfo info;
    const OS::x_wstring wide = OS::x_wstring::FromUtf8(name);
    if (!CVirtualServerUtil::QueryServerInfo(CClusterVirtualServerLookupRequest(wide), info))
        throw Refused("no virtual server " + name + " is configured on this node");
    info.m_strName = wide;
    return info;
}

int RunClusterStatus(const CCliContext& ctx, const std::string& only) {
    int count = 0;
    if (CVirtualServerUtil::EnumServersOnCurrentNode(nullptr, &count) != 0)
        throw Refused("the registry cannot be read");
    std::vector<CClusterVirtualServerInfo> servers(static_cast<size_t>(count));
    if (count > 0 && CVirtualServerUtil::EnumServersOnCurrentNode(servers.data(), &count) != 0)
        throw Refused("the registry cannot be read");
    servers.resize(static_cast<size_t>(count));
    std::set<std::string> open;
    bool known = true;
    try {
        for (const auto& name : CClusterObserver::QueryOpenServers(kMaster))
            open.insert(OS::x_wstring(name).ToUtf8());
    } catch (const OS::CException&) {
        known = false;
    }
    auto isOpen = [&](const CClusterVirtualServerInfo& s) {
        // This machine's own database is open whenever the daemon runs.
        if (CVirtualServerUtil::IsLocalName(s.m_strName)) return known;
        for (const auto& name : open)
            if (OS::wcsicmp(OS::x_wstring::FromUtf8(name), s.m_strName) == 0) return true;
        return false;
    };
    if (!only.empty()) {
        for (const auto& s : servers)
            if (OS::wcsicmp(s.m_strName, OS::x_wstring::FromUtf8(only)) == 0 && s.m_bOnline &&
                isOpen(s)) {
                std::cout << only << ": on line, database open\n";
                return kExitOk;
            }
        throw Refused(only + " is not served on this node");
    }
    if (ctx.json) {
        auto out = nlohmann::ordered_json::array();
        for (const auto& s : servers) {
            nlohmann::ordered_json one;
            one["name"] = s.m_strName.ToUtf8();
            one["online"] = s.m_bOnline;
            one["root"] = s.m_strRootFolder.ToUtf8();
            one["database_open"] = known ? nlohmann::ordered_json(isOpen(s)) : nullptr;
            out.push_back(one);
        }
        std::cout << out.dump(2) << '\n';
    } else {
        std::vector<std::vector<std::string>> rows;
        for (const auto& s : servers)
            rows.push_back({s.m_strName.ToUtf8(), s.m_bOnline ? "on line" : "off line",
                            !known      ? "unknown"
                            : isOpen(s) ? "open"
                                        : "closed",
                            s.m_strRootFolder.ToUtf8()});
        PrintTable(std::cout, {"SERVER", "STATE", "DATABASE", "ROOT"}, rows);
    }
    return kExitOk;
}

int RunClusterMove(const CCliContext&, const std::string& name, bool online) {
    CClusterVirtualServerInfo info = ConfiguredVirtualServer(name);
    if (CVirtualServerUtil::IsLocalName(info.m_strName))
        throw Refused(name + " is this machine: it is always on line");
    if (!CVirtualServerUtil::SetServerOnline(info.m_strName, online))
        throw Refused("the registry cannot be written");
    info.m_bOnline = online;
    int result = -1;
    try {
        result = CClusterObserver::NotifyServer(kMaster, info);
    } catch (const OS::CException& e) {
        throw Refused(Unreachable(e));
    }
    if (result != 0)
        throw Refused(name + (online ? ": its database could not be opened (see the daemon's log)"
                                     : ": the daemon could not record it off line"));
    std::cout << name << (online ? " on line\n" : " off line\n");
    return kExitOk;
}

int RunClusterReplay(const CCliContext&, const std::string& name) {
    const CClusterVirtualServerInfo info = ConfiguredVirtualServer(name);
    CIPCMsgBuffer request, reply;
    request << static_cast<int>(NS_CfgProtocol::kMsgReplayClusterStatus) << info;
    try {
        CRPCClientHelper client(kMaster, nullptr);
        client.SendRequest(request, reply);
    } catch (const OS::CException& e) {
        throw Refused("the daemon is not reachable: " + e.GetErrorMsg().ToUtf8());
    }
    reply.Rewind();
    if (!NS_CfgProtocol::ReadReplyOk(reply, NS_CfgProtocol::kMsgReplayClusterStatusReply))
        throw Refused(name + ": the daemon refused the replay");
    std::cout << name << " replayed " << (info.m_bOnline ? "on line\n" : "off line\n");
    return kExitOk;
}

}  // namespace zoltcli
