// Writers and readers of the configuration service's requests, replies and notification bodies,
// in the item order of the grammar in cfg_RequestProtocol.h.
// Thread rule: stateless; a buffer is used by one thread at a time.
#include "protocol/cfg_RequestProtocol.h"

namespace NS_CfgProtocol {

int RelayedIdOf(int id) {
    switch (id) {
        case kMsgRelay2032:
            return kMsgMaster2013;
        case kMsgRelay2033:
            return kMsgMaster2023;
        case kMsgRelay2034:
            return kMsgMaster801;
        default:
            return id;
    }
}

void WriteSubject(CIPCMsgBuffer& buf, const CSubjectID& subject) {
    subject >> buf;
}

void ReadSubject(const CIPCMsgBuffer& buf, CSubjectID& subject) {
    subject << buf;
}

void WriteSetting(CIPCMsgBuffer& buf, const CStreamable& setting) {
    setting >> buf;
}

void ReadSetting(const CIPCMsgBuffer& buf, CStreamable& setting) {
    setting << buf;
}

void WriteKey(CIPCMsgBuffer& buf, const OS::x_wstring& server, const CSubjectID& policy,
              const CSubjectID& subject, const OS::x_wstring& category) {
    buf << server;
    WriteSubject(buf, policy);
    WriteSubject(buf, subject);
    buf << category;
}

void WriteKey(CIPCMsgBuffer& buf, const CKey& key) {
    WriteKey(buf, key.server, key.policy, key.subject, key.category);
}

void ReadKey(const CIPCMsgBuffer& buf, CKey& key) {
    buf >> key.server;
    ReadSubject(buf, key.policy);
    ReadSubject(buf, key.subject);
    buf >> key.category;
}

void WriteKeyRequest(CIPCMsgBuffer& buf, int id, const CKey& key) {
    buf << id;
    WriteKey(buf, key);
}

void WriteModifyRequest(CIPCMsgBuffer& buf, int id, const CKey& key, const CStreamable& setting,
                        int action, bool notify) {
    buf << id;
    WriteKey(buf, key);
    WriteSetting(buf, setting);
    buf << action << notify;
}

void WriteApplyAllRequest(CIPCMsgBuffer& buf, const OS::x_wstring& server,
                          const OS::x_wstring& category, bool notify, const CStreamable& applyAll) {
    buf << static_cast<unsigned int>(kMsgModifyApplyAll);
    buf << server << category << notify;
    WriteSetting(buf, applyAll);
}

void WriteQueryAllRequest(CIPCMsgBuffer& buf, const OS::x_wstring& server,
                          const OS::x_wstring& category,
                          const std::vector<OS::x_wstring>& subjects) {
    buf << static_cast<int>(kMsgQueryAll) << server << category;
    buf << static_cast<int>(subjects.size());
    for (const auto& s : subjects) buf << s;
}

void WriteDBStatusRequest(CIPCMsgBuffer& buf) {
    buf << static_cast<int>(kMsgDBStatus);
}

void WriteServiceInfoRequest(CIPCMsgBuffer& buf) {
    buf << static_cast<int>(kMsgServiceInfo);
}

void WriteProductValuesRequest(CIPCMsgBuffer& buf) {
    buf << static_cast<int>(kMsgProductValues);
}

void ReadModifyTail(const CIPCMsgBuffer& buf, int& action, bool& notify) {
    buf >> action >> notify;
}

void ReadApplyAllHead(const CIPCMsgBuffer& buf, OS::x_wstring& server, OS::x_wstring& category,
                      bool& notify) {
    buf >> server >> category >> notify;
}

void ReadQueryAllRequest(const CIPCMsgBuffer& buf, OS::x_wstring& server, OS::x_wstring& category,
                         std::vector<OS::x_wstring>& subjects) {
    buf >> server >> category;
    int count = 0;
    buf >> count;
    // Each subject takes at least its 4-byte length: a larger count is refused before reading.
    if (count < 0 || static_cast<size_t>(count) > buf.GetCurrentSize() / 4)
        throw CIPCMsgBufferException(CIPCMsgBufferException::BAD_LENGTH, OS_WFILE, __LINE__,
                                     L"subject count out of range");
    subjects.clear();
    // No reserve: the count is the sender's word; each missing subject throws when read.
    for (int i = 0; i < count; ++i) {
        OS::x_wstring s;
        buf >> s;
        subjects.push_back(std::move(s));
    }
}

void WriteReplyId(CIPCMsgBuffer& reply, int replyId) {
    reply << replyId;
}

void WriteResult(CIPCMsgBuffer& reply, int result) {
    reply << result;
}

bool ReadReplyOk(const CIPCMsgBuffer& reply, int expectedReplyId) {
    unsigned int id = 0;
    reply >> id;
    if (id != static_cast<unsigned int>(expectedReplyId)) return false;
    unsigned int code = 0;
    reply >> code;
    return code == 0;
}

bool ReadDBStatusReply(const CIPCMsgBuffer& reply, bool& status) {
    int id = 0;
    reply >> id;
    if (id != kMsgDBStatusReply) return false;
    int value = 0;
    reply >> value;
    status = value != 0;
    return true;
}

void WriteServiceInfoReply(CIPCMsgBuffer& reply, const CServiceInfo& info) {
    reply << static_cast<int>(kMsgServiceInfoReply) << kResultOk << info.version << info.home
          << info.database << info.provider << static_cast<int>(info.servers.size());
    for (const auto& server : info.servers) reply << server;
}

bool ReadServiceInfoReply(const CIPCMsgBuffer& reply, CServiceInfo& info) {
    int id = 0, result = kResultFail;
    reply >> id;
    if (id != kMsgServiceInfoReply) return false;
    reply >> result;
    if (result != kResultOk) return false;
    int count = 0;
    reply >> info.version >> info.home >> info.database >> info.provider >> count;
    if (count < 0 || count > kMaxServiceInfoServers ||
        static_cast<size_t>(count) > reply.GetCurrentSize() / 4)
        throw CIPCMsgBufferException(CIPCMsgBufferException::BAD_LENGTH, OS_WFILE, __LINE__,
                                     L"server count out of range");
    info.servers.assign(static_cast<size_t>(count), OS::x_wstring());
    for (auto& server : info.servers) reply >> server;
    return true;
}

CProductValues ProductValuesOf(const std::map<std::wstring, std::wstring>& named) {
    const auto get = [&named](const wchar_t* name) {
        const auto it = named.find(name);
        return it == named.end() ? OS::x_wstring() : OS::x_wstring(it->second);
    };
    return {get(L"Version"), get(L"ServicePack"), get(L"PatchBuild"), get(L"ServerRole"),
            get(L"FullVersion")};
}

void WriteProductValuesReply(CIPCMsgBuffer& reply, const CProductValues& values) {
    reply << static_cast<int>(kMsgProductValuesReply) << kResultOk << values.version
          << values.servicePack << values.patchBuild << values.serverRole << values.mailVersion;
}

bool ReadProductValuesReply(const CIPCMsgBuffer& reply, CProductValues& values) {
    int id = 0, result = kResultFail;
    reply >> id;
    if (id != kMsgProductValuesReply) return false;
    reply >> result;
    if (result != kResultOk) return false;
    reply >> values.version >> values.servicePack >> values.patchBuild;
    // A service of an earlier release ends here: its mail-server values are unknown.
    values.serverRole.clear();
    values.mailVersion.clear();
    if (reply.GetCurrentBuffer() != reply.GetBuffer() + reply.BytesUsed())
        reply >> values.serverRole >> values.mailVersion;
    return true;
}

void WriteMetricsRequest(CIPCMsgBuffer& buf) {
    buf << static_cast<int>(kMsgMetrics);
}

namespace {
void PutU64(CIPCMsgBuffer& buf, unsigned long long v) {
    buf << static_cast<unsigned int>(v & 0xFFFFFFFFu) << static_cast<unsigned int>(v >> 32);
}
unsigned long long GetU64(const CIPCMsgBuffer& buf) {
    unsigned int low = 0, high = 0;
    buf >> low >> high;
    return (static_cast<unsigned long long>(high) << 32) | low;
}
[[noreturn]] void BadMetrics(const wchar_t* what) {
    throw CIPCMsgBufferException(CIPCMsgBufferException::BAD_LENGTH, OS_WFILE, __LINE__, what);
}
}  // namespace

void WriteMetricsReply(CIPCMsgBuffer& reply, const CMetricsSnapshot& s) {
    reply << static_cast<int>(kMsgMetricsReply) << kResultOk;
    for (auto v : {s.published, s.observers, s.dropped, s.dbLost, s.dbRecovered, s.storeRetries,
                   s.keptBytes})
        PutU64(reply, v);
    reply << kLatencyBucketCount << static_cast<int>(s.requests.size());
    for (const auto& r : s.requests) {
        reply << r.id;
        PutU64(reply, r.requests);
        PutU64(reply, r.failures);
        PutU64(reply, r.sumMicros);
        for (auto b : r.buckets) PutU64(reply, b);
    }
}

bool ReadMetricsReply(const CIPCMsgBuffer& reply, CMetricsSnapshot& s) {
    int id = 0, result = kResultFail;
    reply >> id;
    if (id != kMsgMetricsReply) return false;
    reply >> result;
    if (result != kResultOk) return false;
    for (auto* v : {&s.published, &s.observers, &s.dropped, &s.dbLost, &s.dbRecovered,
                    &s.storeRetries, &s.keptBytes})
        *v = GetU64(reply);
    int buckets = 0, count = 0;
    reply >> buckets >> count;
    if (buckets != kLatencyBucketCount) BadMetrics(L"latency bucket count differs");
    if (count < 0 || count > kMaxMetricsIds) BadMetrics(L"request id count out of range");
    s.requests.assign(static_cast<size_t>(count), CRequestStats());
    for (auto& r : s.requests) {
        reply >> r.id;
        r.requests = GetU64(reply);
        r.failures = GetU64(reply);
        r.sumMicros = GetU64(reply);
        for (auto& b : r.buckets) b = GetU64(reply);
    }
    return true;
}

void WriteFileOpRequest(CIPCMsgBuffer& buf, int id, const OS::x_wstring& path) {
    buf << id << path;
}

void WriteFileOpReply(CIPCMsgBuffer& reply, int replyId, const CFileOpResult& result) {
    reply << replyId;
    if (result.ok)
        reply << kResultOk << result.bytes;
    else
        reply << kResultFail << result.problem;
}

bool ReadFileOpReply(const CIPCMsgBuffer& reply, int expectedReplyId, CFileOpResult& result) {
    int id = 0, code = kResultFail;
    reply >> id;
    if (id != expectedReplyId) return false;
    reply >> code;
    result.ok = code == kResultOk;
    if (result.ok)
        reply >> result.bytes;
    else
        reply >> result.problem;
    return true;
}

void WriteNotificationBody(CIPCMsgBuffer& body, const CSubjectID& policy,
                           const OS::x_wstring& server, int changeKind) {
    body << kNotificationMark;
    WriteSubject(body, policy);
    body << server << changeKind;
}

bool ReadNotificationBody(const CIPCMsgBuffer& body, CNotification& out) {
    try {
        unsigned int mark = 0;
        body >> mark;
        if (mark != kNotificationMark) return false;
        CNotification n;
        ReadSubject(body, n.policy);
        body >> n.server >> n.changeKind;
        out = std::move(n);
        return true;
    } catch (const OS::CException&) {
        return false;
    }
}

void BuildRelayRequest(const CIPCMsgBuffer& received, int relayedId, CIPCMsgBuffer& out) {
    out << relayedId;
    out.Put(received.GetBuffer(), static_cast<unsigned int>(received.BytesUsed()));
}

}  // namespace NS_CfgProtocol
