// Helpers of the service tests: a store whose answers the test scripts and whose calls it reads
// back, a per-test runtime folder, and request and reply builders.
#pragma once

#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cfg_Service.h"
#include "cfg_Setting.h"
#include "outside/notify/CObserverServerHelper.h"
#include "protocol/cfg_RequestProtocol.h"
#include "setting/cfg_SettingCategoryFake.h"
#include "tests/support/Bytes.h"
#include "tests/support/RuntimeDir.h"
#include "tests/support/TempDir.h"

namespace servicetest {

namespace P = NS_CfgProtocol;
using CCfgIndex = CCfgSettingDBBase::CCfgIndex;

// One call the scripted store received.
struct CStoreCall {
    std::string op;                     // "Get", "GetBulk", "GetExist", "Set", "SetBulk", "Remove",
                                        // "Reset", "ApplyAll", "QueryAll"
    OS::x_wstring server;               // the index's server or the server argument
    OS::x_wstring index;                // "policy:subject" (empty for the category-wide operations)
    OS::x_wstring category;             // the setting's or the argument's category
    int action = -1;                    // the modify action of the writes
    std::vector<OS::x_wstring> fields;  // the query-all's subject list
    CIPCMsgBuffer setting;              // the setting as the store received it (serialized)
};

// A store that answers as scripted and records every call. Reads put `fill` into the setting
// they are given; writes report `reported` (or, with `reportOwnSubject`, the written setting's
// own subject) as the subjects written or removed; the apply-all write calls the callback once
// per `applyAllRows` entry before answering `result`. Setting reads and writes answer from
// their queue first, `result` once it runs dry.
class CScriptedStore : public CCfgVirtualServerDB {
  public:
    explicit CScriptedStore(bool* deleted = nullptr) : m_pDeleted(deleted) {}
    ~CScriptedStore() override {
        if (m_pDeleted) *m_pDeleted = true;
    }

    bool result = true;
    std::deque<bool> reads, writes;
    bool reportOwnSubject = false;
    std::vector<std::pair<OS::x_wstring, CVar>> fill;
    std::vector<OS::x_wstring> reported;
    std::vector<CCfgIndex> applyAllRows;
    std::vector<unsigned char> queryAllBytes;  // what the apply-all query writes into its buffer
    std::vector<CStoreCall> calls;

    bool ResetToDefault(const CCfgIndex& index, CCfgSettingCategoryBase& setting,
                        std::vector<OS::x_wstring>* changed) override {
        Record("Reset", index, setting, -1);
        Fill(setting);
        if (changed) changed->insert(changed->end(), reported.begin(), reported.end());
        return result;
    }
    bool GetConfiguration(const OS::x_wstring& server, const OS::x_wstring& category,
                          const std::vector<OS::x_wstring>& fields, CIPCMsgBuffer& out) override {
        Push("QueryAll", server, L"", category).fields = fields;
        if (!queryAllBytes.empty())
            out.Put(queryAllBytes.data(), static_cast<unsigned int>(queryAllBytes.size()));
        return result;
    }
    bool SetConfiguration(const OS::x_wstring& server, const OS::x_wstring& category,
                          const CCfgSettingApplyAll& setting,
                          CCfgIndexCallback* callback) override {
        setting >> Push("ApplyAll", server, L"", category).setting;
        for (const auto& row : applyAllRows)
            if (callback && !(*callback)(row)) break;
        return result;
    }
    void RemoveConfiguration(const CCfgIndex& index, const OS::x_wstring& category,
                             std::vector<OS::x_wstring>* removed) override {
        Push("Remove", index.GetServerName(), index.GetIndexValue(), category);
        if (removed) removed->insert(removed->end(), reported.begin(), reported.end());
    }
    bool GetConfiguration(const CCfgIndex& index, CCfgSettingCategoryBase& setting) override {
        return Read("Get", index, setting);
    }
    bool GetBulkConfiguration(const CCfgIndex& index, CCfgSettingCategoryBase& setting) override {
        return Read("GetBulk", index, setting);
    }
    bool GetExistConfiguration(const CCfgIndex& index, CCfgSettingCategoryBase& setting) override {
        return Read("GetExist", index, setting);
    }
    bool SetConfiguration(const CCfgIndex& index, const CCfgSettingCategoryBase& setting,
                          std::vector<OS::x_wstring>* changed, ModifyAction action) override {
        return Write("Set", index, setting, changed, action);
    }
    bool SetBulkConfiguration(const CCfgIndex& index, const CCfgSettingCategoryBase& setting,
                              std::vector<OS::x_wstring>* changed, ModifyAction action) override {
        return Write("SetBulk", index, setting, changed, action);
    }

  private:
    CStoreCall& Push(const char* op, const OS::x_wstring& server, const OS::x_wstring& index,
                     const OS::x_wstring& category, int action = -1) {
        calls.push_back({op, server, index, category, action, {}, CIPCMsgBuffer()});
        return calls.back();
    }
    void Record(const char* op, const CCfgIndex& index, const CCfgSettingCategoryBase& setting,
                int action) {
        setting >> Push(op, index.GetServerName(), index.GetIndexValue(),
                        const_cast<CCfgSettingCategoryBase&>(setting).GetCategroyName(), action)
                       .setting;
    }
    bool Next(std::deque<bool>& queue) {
        if (queue.empty()) return result;
        const bool r = queue.front();
        queue.pop_front();
        return r;
    }
    bool Read(const char* op, const CCfgIndex& index, CCfgSettingCategoryBase& setting) {
        Record(op, index, setting, -1);
        const bool ok = Next(reads);
        if (ok) Fill(setting);
        return ok;
    }
    bool Write(const char* op, const CCfgIndex& index, const CCfgSettingCategoryBase& setting,
               std::vector<OS::x_wstring>* changed, int action) {
        Record(op, index, setting, action);
        const bool ok = Next(writes);
        if (ok && changed && reportOwnSubject) changed->push_back(index.GetSubjectID().ToString());
        if (ok && changed && !reportOwnSubject)
            changed->insert(changed->end(), reported.begin(), reported.end());
        return ok;
    }
    void Fill(CCfgSettingCategoryBase& setting) {
        for (const auto& [name, value] : fill) setting.AddFieldValue(name, value);
    }
    bool* m_pDeleted;
};

using testsupport::Bytes;
using testsupport::CRuntimeDir;

// A request as the RPC library hands it to the dispatcher: the items behind the id.
inline P::CKey Key(const wchar_t* server = L"SRV", const wchar_t* policy = L"ZOLT_PLC_NULL",
                   const wchar_t* subject = L"ZOLT_SUB_CFG_VS_RS",
                   const wchar_t* category = L"QV_VirusScan") {
    return P::CKey{server, CSubjectID(policy), CSubjectID(subject), category};
}

inline CIPCMsgBuffer KeyBody(const P::CKey& key) {
    CIPCMsgBuffer b;
    P::WriteKey(b, key);
    return b;
}

// A placeholder setting of `category` holding the given fields.
inline CCfgSettingCategoryFake Setting(const OS::x_wstring& category,
                                       const std::vector<std::pair<OS::x_wstring, CVar>>& fields,
                                       bool dirty = true) {
    CCfgSettingCategoryFake s(category);
    for (const auto& [name, value] : fields) s.AddFieldValue(name, value);
    s.ResetDirtyFlag(dirty);
    return s;
}

inline CIPCMsgBuffer ModifyBody(const P::CKey& key, const CCfgSettingCategoryBase& setting,
                                int action, bool notify) {
    CIPCMsgBuffer b;
    P::WriteKey(b, key);
    P::WriteSetting(b, setting);
    b << action << notify;
    return b;
}

// The reply a handler should give: the reply id, then `items` appended by the caller.
inline CIPCMsgBuffer Reply(int replyId) {
    CIPCMsgBuffer b;
    b << replyId;
    return b;
}

// A reply that carries only a result code.
inline CIPCMsgBuffer ResultReply(int replyId, int result) {
    CIPCMsgBuffer b = Reply(replyId);
    b << result;
    return b;
}

// What the dispatcher gives `service` for message `id` with `body`, read from its start.
inline CIPCMsgBuffer CallService(CIPCServerRequestCallback& service, int id,
                                 const CIPCMsgBuffer& body) {
    CIPCMsgBuffer reply;
    body.Rewind();
    service(id, body, reply);
    return reply;
}

// An apply-all request behind its id (313): server, category, notify flag, then the setting.
inline CIPCMsgBuffer ApplyAllBody(const CCfgSettingApplyAll& setting, bool notify,
                                  const wchar_t* server = L"SRV") {
    CIPCMsgBuffer b;
    b << OS::x_wstring(server) << const_cast<CCfgSettingApplyAll&>(setting).GetCategroyName()
      << notify;
    setting >> b;
    return b;
}

// The subject a test loads to mark the end of what it waits for.
inline const wchar_t kSentinel[] = L"ZOLT_SUB_TEST_SENTINEL";

// An observer of the service's publisher: keeps each notification of `subjects` as
// "subject/policy/server/kind/flag" and counts the sentinels.
class CRecordingObserver : public CObserverNoticeCallback {
  public:
    explicit CRecordingObserver(std::vector<const wchar_t*> subjects) {
        for (const wchar_t* s : subjects) m_subjects.emplace_back(s);
        m_subjects.emplace_back(kSentinel);
    }
    std::vector<CSubjectID> GetSubjectIDVector() const override { return m_subjects; }
    void operator()(const CSubjectID& subject, const CIPCMsgBuffer& body) override {
        P::CNotification n;
        const bool ours = P::ReadNotificationBody(body, n);
        OS::x_wstring seen;
        seen.Format(L"%ls/%ls/%ls/%d/%d", subject.ToString().c_str(),
                    ours ? n.policy.ToString().c_str() : L"?", n.server.c_str(),
                    ours ? n.changeKind : -1, CObserverServerHelper::CurrentNotice()->flag ? 1 : 0);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (subject.ToString() == kSentinel) {
            ++m_sentinels;
        } else {
            m_seen.push_back(seen);
        }
        m_cv.notify_all();
    }
    // Waits for the sentinel number `n` and hands out what arrived before it. The publisher
    // delivers in order, so nothing published before the sentinel can still be on its way.
    std::vector<OS::x_wstring> TakeUntilSentinel(int n) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait(lock, [&] { return m_sentinels >= n; });
        return std::exchange(m_seen, {});
    }

  private:
    std::vector<CSubjectID> m_subjects;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<OS::x_wstring> m_seen;
    int m_sentinels = 0;
};

}  // namespace servicetest
