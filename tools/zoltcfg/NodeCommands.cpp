// zoltcfg node: the files of a virtual server between the cluster nodes, asked of this node's
// remote service (over mutual TLS with the registry's "Remote" settings). `sync` copies a
// sub-folder of the server's root folder to the other nodes' shares; `newest` tells which other
// node holds the newest copy of the server's configuration database.
// Thread rule: run on the main thread.
#include <iostream>
#include <string>

#include "outside/cluster/CClusterVirtualServerInfo.h"
#include "outside/cluster/CVirtualServerUtil.h"
#include "outside/rpc/CRPCClientHelper.h"
#include "protocol/cfg_RequestProtocol.h"
#include "tools/zoltcfg/CliError.h"
#include "tools/zoltcfg/Commands.h"
#include "tools/zoltcfg/OutputFormat.h"

namespace zoltcli {
namespace {

namespace P = NS_CfgProtocol;

// Sends `request` to this node's remote service; the reply's read position is past its id,
// which must be `replyId`.
void Ask(const CIPCMsgBuffer& request, int replyId, CIPCMsgBuffer& reply) {
    try {
        CRPCClientHelper client(CComponentID(L"ID_ZOLT_REMOTE_CFG"), L"localhost");
        client.SendRequest(request, reply);
        reply.Rewind();
        int id = 0;
        reply >> id;
        if (id != replyId) throw Refused("the remote service gave no answer to the request");
    } catch (const OS::CException& e) {
        throw Refused("the remote service of this node is not reachable: " +
                      e.GetErrorMsg().ToUtf8());
    }
}

}  // namespace

int RunNodeSync(const CCliContext&, const std::string& name, const std::string& subFolder) {
    CIPCMsgBuffer request, reply;
    request << static_cast<int>(P::kMsgSyncFolder) << ConfiguredVirtualServer(name)
            << OS::x_wstring::FromUtf8(subFolder);
    Ask(request, P::kMsgSyncFolderReply, reply);
    int result = -1;
    reply >> result;
    if (result != 0)
        throw Refused(name + ": the folder " + subFolder +
                      " was refused (outside the allowed folders, see the daemon's log)");
    std::cout << name << ": " << subFolder
              << " synchronised to the other nodes (each node's outcome is in the daemon's "
                 "log)\n";
    return kExitOk;
}

int RunNodeNewest(const CCliContext& ctx, const std::string& name) {
    CIPCMsgBuffer request, reply;
    request << static_cast<int>(P::kMsgMaxTimeStamp) << ConfiguredVirtualServer(name);
    Ask(request, P::kMsgMaxTimeStampReply, reply);
    bool found = false;
    int highest = 0, result = -1;
    OS::x_wstring node;
    try {
        reply >> found >> highest >> node >> result;
    } catch (const OS::CException&) {
        throw Refused(name + ": the remote service refused the request");
    }
    if (result != 0) throw Refused(name + ": the remote service refused the request");
    if (ctx.json) {
        nlohmann::ordered_json out;
        out["other_nodes"] = found;
        out["time_stamp"] = highest;
        out["node"] = node.ToUtf8();
        std::cout << out.dump(2) << '\n';
    } else if (!found) {
        std::cout << name << ": no other node is listed\n";
    } else if (node.empty()) {
        std::cout << name << ": no other node holds a database copy\n";
    } else {
        std::cout << name << ": newest copy on " << node.ToUtf8() << " (time stamp " << highest
                  << ")\n";
    }
    return kExitOk;
}

}  // namespace zoltcli
