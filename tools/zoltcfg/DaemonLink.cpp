// The daemon link of zoltcfg (see DaemonLink.h).
// Thread rule: used from the main thread only.
#include "tools/zoltcfg/DaemonLink.h"

#include "cfg_Service.h"
#include "outside/rpc/CRPCException.h"
#include "protocol/cfg_RequestProtocol.h"
#include "tools/zoltcfg/CliError.h"

namespace zoltcli {

namespace {
constexpr wchar_t kMaster[] = L"ID_ZOLT_MASTER";
// A daemon that is up answers the status request at once; do not hang a command on a stuck one.
constexpr std::chrono::milliseconds kProbeTimeout{10000};
}  // namespace

std::string CSettingKey::Describe() const {
    return category + " " + policy + ":" + subject + " on " + server;
}

std::string KeyPartProblem(std::string_view part) {
    if (part.empty()) return "it is empty";
    if (part.find(':') != std::string_view::npos) return "it contains ':'";
    return "";
}

bool SplitStoredKey(std::string_view key, std::string_view& policy, std::string_view& subject) {
    const auto colon = key.find(':');
    policy = key.substr(0, colon);
    subject = colon == std::string_view::npos ? std::string_view() : key.substr(colon + 1);
    return colon != std::string_view::npos && KeyPartProblem(policy).empty() &&
           KeyPartProblem(subject).empty();
}

bool SplitStoredKey(const std::string& key, std::string& policy, std::string& subject) {
    std::string_view p, s;
    const bool split = SplitStoredKey(std::string_view(key), p, s);
    policy = p;
    subject = s;
    return split;
}

void CDaemonLink::RequireServed(const std::string& server) {
    NS_CfgProtocol::CServiceInfo info;
    if (!Describe(info)) info.servers = CCfgLocalServerDB::DefaultServerNames();
    std::string names;
    for (const auto& name : info.servers) {
        if (OS::wcsicmp(name, Wide(server)) == 0) return;
        names += (names.empty() ? "" : ", ") + name.ToUtf8();
    }
    throw Refused("the daemon does not serve server " + server + " (it serves " + names + ").");
}

CDaemonLink::CStatus CDaemonLink::Probe() {
    CStatus status;
    try {
        const CCfgAgent agent(kMaster, false);
        CIPCMsgBuffer request, reply;
        NS_CfgProtocol::WriteDBStatusRequest(request);
        agent.SendRequest(request, reply, nullptr, kProbeTimeout, status.endpoint);
        bool ok = false;
        if (!NS_CfgProtocol::ReadDBStatusReply(reply, ok)) {
            status.problem = "the service at " + status.endpoint + " gave an unexpected reply";
            return status;
        }
        status.reachable = true;
        status.databaseOk = ok;
        status.described = Describe(status.served);
    } catch (const OS::CException& e) {
        status.notAllowed = dynamic_cast<const CRPCException*>(&e) &&
                            e.GetErrorCode() == CRPCException::NOT_ALLOWED;
        status.problem = e.GetErrorMsg().ToUtf8();
        while (!status.problem.empty() && status.problem.back() == '.') status.problem.pop_back();
    }
    return status;
}

bool CDaemonLink::Describe(NS_CfgProtocol::CServiceInfo& info) {
    try {
        const CCfgAgent agent(kMaster, false);
        CIPCMsgBuffer request, reply;
        NS_CfgProtocol::WriteServiceInfoRequest(request);
        std::string endpoint;
        agent.SendRequest(request, reply, nullptr, kProbeTimeout, endpoint);
        return NS_CfgProtocol::ReadServiceInfoReply(reply, info);
    } catch (const OS::CException&) {
        return false;  // an older daemon, a cut reply, or no daemon: nothing said
    }
}

CDaemonLink::CDaemonLink() : m_Agent(kMaster, true) {
    const CStatus status = Probe();
    if (status.notAllowed)
        throw Refused(status.problem + ".");  // the transport's sentence names the group
    if (!status.reachable) {
        // The transport's reason names the endpoint too; say it once.
        const bool named =
            !status.endpoint.empty() && status.problem.find(status.endpoint) != std::string::npos;
        throw Refused("the configuration daemon does not answer" +
                      (status.endpoint.empty() ? std::string() : " at " + status.endpoint) +
                      (named ? std::string() : " (" + status.problem + ")") +
                      "; start zoltcfgd, or point ZOLTCFG_RUNTIME_DIR at its runtime folder.");
    }
}

std::unique_ptr<CCfgSettingCategoryFake> CDaemonLink::NewSetting(const CSettingKey& key) {
    auto setting = std::make_unique<CCfgSettingCategoryFake>(Wide(key.category));
    setting->SetSubjectID(Wide(key.subject));
    return setting;
}

bool CDaemonLink::ReadExisting(const CSettingKey& key, CCfgSettingCategoryBase& setting) {
    // The existence read never adds a row, unlike the plain read.
    return m_Agent.QueryExistConfigurationSettings(Wide(key.server), CSubjectID(Wide(key.policy)),
                                                   setting, nullptr);
}

std::vector<CColumn> CDaemonLink::ReadColumns(const std::string& server,
                                              const std::string& category,
                                              const std::vector<std::string>& columns) {
    std::vector<OS::x_wstring> names;
    for (const auto& c : columns) names.push_back(Wide(c));
    CIPCMsgBuffer out;
    Require(server, "read the settings of " + category + " on " + server, [&] {
        return m_Agent.QueryConfigurationSettings(Wide(server), Wide(category), names, out,
                                                  nullptr);
    });
    // Per column: its name, the row count, then one value per row.
    std::vector<CColumn> result;
    try {
        for (size_t i = 0; i < columns.size(); ++i) {
            OS::x_wstring name;
            unsigned int count = 0;
            out >> name >> count;
            CColumn column{name.ToUtf8(), {}};
            column.values.reserve(count);
            for (unsigned int r = 0; r < count; ++r) {
                CVar v;
                CCfgSettingCategoryBase::CVarFromBuffer(v, out);
                column.values.push_back(std::move(v));
            }
            result.push_back(std::move(column));
        }
    } catch (const OS::CException& e) {
        throw Refused("the daemon's answer for " + category + " on " + server + " is cut short (" +
                      e.GetErrorMsg().ToUtf8() + ").");
    }
    return result;
}

CCliError CDaemonLink::Unreachable(const std::string& what, const OS::CException& e) {
    std::string reason = e.GetErrorMsg().ToUtf8();
    while (!reason.empty() && reason.back() == '.') reason.pop_back();
    return Refused("could not " + what + ": " + reason + ".");
}

CCliError CDaemonLink::RefusedBy(const std::string& what) {
    return Refused("the daemon refused to " + what + " (its log says why).");
}

}  // namespace zoltcli
