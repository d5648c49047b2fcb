// zoltcfg's side of the conversation with zoltcfgd: whether the daemon answers at all, the agent
// that carries every request, the placeholder setting that stands for a category the CLI has no
// class for, and the column reads behind `list` and `dump`. Every failure becomes one sentence.
// Thread rule: used from the main thread only.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cfg_Client.h"
#include "protocol/cfg_RequestProtocol.h"
#include "tools/zoltcfg/CliError.h"

namespace zoltcli {

// The key of one stored setting as typed on the command line.
struct CSettingKey {
    std::string server;
    std::string policy;    // "ZOLT_PLC_NULL" for none
    std::string category;  // as the schema spells it
    std::string subject;

    // "QV_VirusScan ZOLT_PLC_NULL:ZOLT_SUB_X on localhost", for messages.
    std::string Describe() const;
};

// Why `part` cannot be the policy or the subject of a stored row key "policy:subject" ("it is
// empty", "it contains ':'"), or "" when it can. The CLI names no setting that a load could not
// name again.
std::string KeyPartProblem(std::string_view part);

// Splits a stored row key at its first ':'. False when the key is not exactly "policy:subject"
// with two parts that KeyPartProblem accepts; `policy` and `subject` are filled either way.
bool SplitStoredKey(const std::string& key, std::string& policy, std::string& subject);
// The same, the parts viewing `key`.
bool SplitStoredKey(std::string_view key, std::string_view& policy, std::string_view& subject);

// One column of a column read: its name and one value per stored setting, in table order.
struct CColumn {
    std::string name;
    std::vector<CVar> values;
};

class CDaemonLink {
  public:
    struct CStatus {
        bool reachable = false;
        bool databaseOk = false;
        std::string endpoint;                 // "unix:<socket>" or "tcp:<host>:<port>"
        std::string problem;                  // why it is not reachable
        bool notAllowed = false;              // the daemon does not serve this user
        bool described = false;               // the daemon said what it serves
        NS_CfgProtocol::CServiceInfo served;  // what it said
    };

    // Asks the daemon for its database status and what it serves; never throws.
    static CStatus Probe();

    // Asks the daemon what it serves: true and `info` filled when it says, false when it does
    // not answer that question (or not at all). Never throws.
    static bool Describe(NS_CfgProtocol::CServiceInfo& info);

    // Probes, and throws CCliError (refused) with the reason when the daemon does not answer.
    CDaemonLink();

    CCfgAgent& Agent() { return m_Agent; }

    // A placeholder setting of `key`'s category with `key`'s subject.
    static std::unique_ptr<CCfgSettingCategoryFake> NewSetting(const CSettingKey& key);

    // Reads the stored setting of `key` into `setting`; false when no such setting is stored.
    bool ReadExisting(const CSettingKey& key, CCfgSettingCategoryBase& setting);

    // The values of `columns` in every stored setting of `category` on `server`. Throws CCliError
    // (refused) when the daemon does not give them.
    std::vector<CColumn> ReadColumns(const std::string& server, const std::string& category,
                                     const std::vector<std::string>& columns);

    // Runs `request`, an agent call on `server` that reports false when refused and throws when
    // the daemon cannot be reached; turns both failures into CCliError (refused) saying `what`
    // failed, or that the daemon does not serve `server`.
    template <typename F>
    void Require(const std::string& server, const std::string& what, F&& request) {
        bool done = false;
        try {
            done = request();
        } catch (const OS::CException& e) {
            throw Unreachable(what, e);
        }
        if (done) return;
        RequireServed(server);
        throw RefusedBy(what);
    }

  private:
    static CCliError Unreachable(const std::string& what, const OS::CException& e);
    static CCliError RefusedBy(const std::string& what);

  public:
    // Throws CCliError (refused) naming the servers the daemon serves (as it tells them, else
    // this machine's names, which a daemon here serves) when `server` is none of them; returns
    // otherwise. For a request that failed: a good server never meets this check.
    static void RequireServed(const std::string& server);

  private:
    CCfgAgent m_Agent;
};

// Wide-string shorthand for the library's interfaces.
inline OS::x_wstring Wide(const std::string& s) {
    return OS::x_wstring::FromUtf8(s);
}

}  // namespace zoltcli
