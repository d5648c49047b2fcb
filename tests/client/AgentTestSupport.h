// Helpers of the agent tests (the virus-scan category, bytes and the runtime folder come from the
// shared kit): a scripted component that records every request it receives and answers what the
// test tells it to.
// Thread rule: the scripted component's handler runs on the RPC server's threads; its recorded
// requests and its script are guarded by one mutex.
#pragma once

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
#include "tests/support/Bytes.h"
#include "tests/support/RuntimeDir.h"
#include "tests/support/SampleHome.h"
#include "tests/support/TempDir.h"
#include "tests/support/VirusScan.h"

namespace OS {
// Readable test failure messages for wide strings.
inline void PrintTo(const x_wstring& s, std::ostream* os) {
    *os << '"' << s.ToUtf8() << '"';
}
}  // namespace OS

namespace agenttest {

using testsupport::CVirusScan;
using testsupport::kAction;
using testsupport::kFolder;
using testsupport::kMaxSize;

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

using testsupport::Bytes;
using testsupport::CRuntimeDir;

// One request as the component received it.
struct CReceived {
    int id;
    std::vector<unsigned char> body;  // the items behind the id
};

// A component that answers every configuration request id (and 321) with the scripts it was
// given, one each in order, then with the reply id and result 0.
class CScriptedComponent : public CIPCServerRequestCallback {
  public:
    using Script = std::function<void(int id, CIPCMsgBuffer& reply)>;

    explicit CScriptedComponent(const wchar_t* component, const wchar_t* protseq = L"ncalrpc")
        : m_server(CComponentID(component), CRPCServerParameter(protseq)) {
        m_server.RegisterHandler(*this);
    }
    ~CScriptedComponent() override { m_server.UnRegisterHandler(*this); }

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
            std::lock_guard<std::mutex> lock(m_mutex);
            m_received.push_back({msgID, std::vector<unsigned char>(request.GetCurrentBuffer(),
                                                                    request.GetCurrentBuffer() +
                                                                        request.GetCurrentSize())});
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

  private:
    mutable std::mutex m_mutex;
    std::vector<CReceived> m_received;
    std::deque<Script> m_scripts;
    CRPCServerHelper m_server;
};

}  // namespace agenttest
