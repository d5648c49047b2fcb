// Helpers of the agent tests: a typed category shaped like the sample home's QV_VirusScan table,
// a per-test runtime folder, and a scripted component that records every request it receives
// and answers what the test tells it to.
// Thread rule: the scripted component's handler runs on the RPC server's threads; its recorded
// requests and its script are guarded by one mutex.
#pragma once

#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <vector>

#include "cfg_Setting.h"
#include "outside/ipc/CComponentID.h"
#include "outside/ipc/CIPCMsgBuffer.h"
#include "outside/log/DebugLog.h"
#include "outside/rpc/CIPCServerRequestCallback.h"
#include "outside/rpc/CRPCClientHelper.h"
#include "outside/rpc/CRPCServerHelper.h"
#include "outside/rpc/CRPCServerParameter.h"
#include "tests/support/SampleHome.h"
#include "tests/support/TempDir.h"

namespace OS {
// Readable test failure messages for wide strings.
inline void PrintTo(const x_wstring& s, std::ostream* os) {
    *os << '"' << s.ToUtf8() << '"';
}
}  // namespace OS

namespace agenttest {

// Field ids: the low word is the value kind (0x1F text, 0x0B boolean, 0x02 short, 0x03 int).
constexpr unsigned int kEnable = 0x0001000B;    // VS_ENABLE_VIRUSSCAN, true
constexpr unsigned int kAction = 0x00020002;    // VS_ACTION, 1
constexpr unsigned int kMaxSize = 0x00030003;   // VS_MAX_SIZE, 10240
constexpr unsigned int kArchives = 0x0004000B;  // VS_SCAN_ARCHIVES, true
constexpr unsigned int kFolder = 0x0005001F;    // VS_QUARANTINE_FOLDER, "quarantine"
constexpr unsigned int kExcluded = 0x0006001F;  // VS_EXCLUDED_EXTENSIONS, ""

// The virus-scan settings of a server, as a program that uses the library declares them.
class CVirusScan : public CCfgSettingCategoryBase {
  public:
    explicit CVirusScan(const x_wstring& subject = L"ZOLT_SUB_CFG_VS_RS")
        : m_strSubjectID(subject) {}
    CVirusScan(const CVirusScan&) = default;
    CVirusScan& operator=(const CVirusScan& other) {
        CCfgSettingCategoryBase::operator=(other);
        m_strSubjectID = other.m_strSubjectID;
        return *this;
    }

    x_wstring GetCategroyName() override { return L"QV_VirusScan"; }
    CSubjectID GetSubjectID() override { return CSubjectID(m_strSubjectID); }
    CCfgSettingCategoryBase* New() const override { return new CVirusScan(); }
    void Delete(CCfgSettingCategoryBase* p) override { delete p; }
    void SetSubjectID(const x_wstring& s) override { m_strSubjectID = s; }
    void EnumerateFieldInfo(CFieldInfoCallback& cb) const override {
        static const struct {
            unsigned int id;
            const wchar_t* name;
            CVar def;
        } kTable[] = {
            {kEnable, L"VS_ENABLE_VIRUSSCAN", CVar(true)},
            {kAction, L"VS_ACTION", CVar(static_cast<short>(1))},
            {kMaxSize, L"VS_MAX_SIZE", CVar(10240)},
            {kArchives, L"VS_SCAN_ARCHIVES", CVar(true)},
            {kFolder, L"VS_QUARANTINE_FOLDER", CVar(L"quarantine")},
            {kExcluded, L"VS_EXCLUDED_EXTENSIONS", CVar(L"")},
        };
        for (const auto& f : kTable)
            if (!cb(f.id, f.name, f.def)) return;
    }

  private:
    x_wstring m_strSubjectID;
};

// The setting's fields as (name, value text) pairs, in name order.
inline std::vector<std::pair<OS::x_wstring, OS::x_wstring>> Fields(
    const CCfgSettingCategoryBase& setting) {
    struct CCollect : CCfgSettingCategoryBase::CFieldInfoCallback {
        std::vector<std::pair<OS::x_wstring, OS::x_wstring>> seen;
        bool operator()(unsigned int, const OS::x_wstring& name, const CVar& value) override {
            OS::x_wstring text;
            try {
                text = value.ToString();
            } catch (const OS::CException&) {
                text = L"?";
            }
            seen.emplace_back(name, text);
            return true;
        }
    } collect;
    setting.EnumerateFieldValue(collect);
    return collect.seen;
}

inline std::vector<unsigned char> Bytes(const CIPCMsgBuffer& b) {
    return std::vector<unsigned char>(b.GetBuffer(), b.GetBuffer() + b.BytesUsed());
}

// Points ZOLTCFG_RUNTIME_DIR at a fresh folder for the object's life (endpoints of its own).
class CRuntimeDir {
  public:
    CRuntimeDir() : m_dir("zoltcfg-agent-rt"), m_env("ZOLTCFG_RUNTIME_DIR", m_dir.Str()) {}
    ~CRuntimeDir() { CRPCClientHelper::CloseThreadConnections(); }
    const testsupport::CTempDir& Dir() const { return m_dir; }

  private:
    testsupport::CTempDir m_dir;
    testsupport::CScopedEnv m_env;
};

// One request as the component received it.
struct CReceived {
    int id;
    std::vector<unsigned char> body;  // the items behind the id
};

// A component that answers every configuration request id (and 321) with the scripts it was
// given, one each in order, then with the reply id and result 0. While `Hold()` is in force it
// keeps every request waiting until `Release()`.
class CScriptedComponent : public CIPCServerRequestCallback {
  public:
    using Script = std::function<void(int id, CIPCMsgBuffer& reply)>;

    explicit CScriptedComponent(const wchar_t* component, const wchar_t* protseq = L"ncalrpc")
        : m_server(CComponentID(component), CRPCServerParameter(protseq)) {
        m_server.RegisterHandler(*this);
    }
    ~CScriptedComponent() override {
        Release();
        m_server.UnRegisterHandler(*this);
    }

    bool GetMsgID(int** ids, int* count) const override {
        *count = 25;
        *ids = new int[25];
        for (int i = 0; i < 25; ++i) (*ids)[i] = 301 + 2 * i;
        return true;
    }
    void FreeMsgID(int* ids) override { delete[] ids; }
    void operator()(int msgID, const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) override {
        Script script = [](int id, CIPCMsgBuffer& r) { r << (id + 1) << 0; };
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_received.push_back({msgID, std::vector<unsigned char>(request.GetCurrentBuffer(),
                                                                    request.GetCurrentBuffer() +
                                                                        request.GetCurrentSize())});
            m_cv.wait(lock, [this] { return !m_bHold; });
            if (!m_scripts.empty()) {
                script = std::move(m_scripts.front());
                m_scripts.pop_front();
            }
        }
        script(msgID, reply);
    }

    void Then(Script script) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_scripts.push_back(std::move(script));
    }
    std::vector<CReceived> Received() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_received;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_received.clear();
        m_scripts.clear();
    }
    void Hold() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bHold = true;
    }
    void Release() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bHold = false;
        m_cv.notify_all();
    }

  private:
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<CReceived> m_received;
    std::deque<Script> m_scripts;
    bool m_bHold = false;
    CRPCServerHelper m_server;
};

}  // namespace agenttest
