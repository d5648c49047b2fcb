// The request protocol of the configuration service: message ids, the item order of every
// single-setting request and reply, and the change-notification body. The agent writes with
// these helpers exactly what the service reads with them, and the other way round.
// Thread rule: stateless functions; a buffer is used by one thread at a time.
//
// Grammar (one item per name, in this order; the byte form of an item is CIPCMsgBuffer's:
// int/unsigned 4 bytes little-endian, bool 1 byte, x_wstring = uint32 byte count + UTF-8,
// nested buffer = uint32 byte count + bytes; a subject is one x_wstring, a setting its own
// serialized form).
//
//   key           := server:x_wstring policy:subject subject:subject category:x_wstring
//   request       := id:int body                 (313 writes its id as unsigned int)
//   reply         := replyId:int reply-body      (replyId = id + 1, written before anything is
//                                                 read, so a failing request still carries it)
//   failure       := <what was written so far> result:int(-1)
//
//   301 query, 343 bulk query, 339 exist query
//     body  := key
//     reply := 0 setting | -1
//   303 modify, 345 bulk modify
//     body  := key setting action:int notify:bool
//     reply := 0 | -1                  (-1 at once, nothing read, while the database is off line)
//   305 delete           body := key                 reply := 0
//   311 reset to default body := key                 reply := 0 setting | -1
//   313 apply-all modify body := server category:x_wstring notify:bool applyAllSetting
//                        reply := 0 | -1
//   315 query all        body := server category:x_wstring count:int count*subject:x_wstring
//                        reply := 0 nested:buffer | -1
//   317 load, 319 unload body := key                 reply := 0
//   341 database status  body := (nothing)           reply := status:int (1 reachable, 0 not)
//   901 service info     body := (nothing)
//                        reply := 0 version:x_wstring home:x_wstring database:x_wstring
//                                 provider:x_wstring count:int count*server:x_wstring | -1
//   903 product values   body := (nothing)       (answered by a remote service only)
//                        reply := 0 version:x_wstring servicePack:x_wstring
//                                 patchBuild:x_wstring [role:x_wstring mailVersion:x_wstring]
//                                 | -1   (-1: no product key; a service of an earlier
//                                 release ends after patchBuild)
//   905 metrics          body := (nothing)
//                        reply := 0 published:u64 observers:u64 dropped:u64 lost:u64
//                                 recovered:u64 retries:u64 keptBytes:u64
//                                 buckets:int(16) count:int count*request-stats
//     request-stats := id:int requests:u64 failures:u64 sumMicros:u64 buckets*u64
//     u64 := low:unsigned high:unsigned; buckets are per-bucket counts (not cumulative), the
//     last one above the largest bound
//
//   907 backup           body := target:x_wstring    (an absolute path on the service's machine)
//                        reply := 0 bytes:long long | -1 problem:x_wstring
//   909 restore          body := file:x_wstring
//                        reply := 0 bytes:long long | -1 problem:x_wstring
//
//   notification body := mark:unsigned(0xFFFFFFFF) policy:subject server:x_wstring kind:int
//     kind: 3 written, 4 deleted, 5 loaded, 6 unloaded
//
//   relayed request := relayedId:int <every byte of the received request buffer>
//     2032 -> 2013, 2033 -> 2023, 2034 -> 801, every other id unchanged
//
// The batch, file and cluster-replay layouts are listed in docs/request-protocol.md.
#pragma once

#include <map>
#include <vector>

#include "outside/common/x_wstring.h"
#include "outside/ipc/CIPCMsgBuffer.h"
#include "outside/ipc/CStreamable.h"
#include "outside/ipc/CSubjectID.h"

namespace NS_CfgProtocol {

// Message ids. A reply id is its request id plus one.
enum MsgId : int {
    kMsgQuery = 301,
    kMsgQueryReply = 302,
    kMsgModify = 303,
    kMsgModifyReply = 304,
    kMsgDelete = 305,
    kMsgDeleteReply = 306,
    kMsgBatchModify = 307,
    kMsgBatchModifyReply = 308,
    kMsgBatchQuery = 309,
    kMsgBatchQueryReply = 310,
    kMsgResetToDefault = 311,
    kMsgResetToDefaultReply = 312,
    kMsgModifyApplyAll = 313,
    kMsgModifyApplyAllReply = 314,
    kMsgQueryAll = 315,
    kMsgQueryAllReply = 316,
    kMsgLoad = 317,
    kMsgLoadReply = 318,
    kMsgUnload = 319,
    kMsgUnloadReply = 320,
    kMsgBackup = 321,  // not served by the configuration service
    kMsgBackupReply = 322,
    kMsgCopyFile = 325,
    kMsgCopyFileReply = 326,
    kMsgDeleteFile = 327,
    kMsgDeleteFileReply = 328,
    kMsgEnumFile = 329,
    kMsgEnumFileReply = 330,
    kMsgIsFileExist = 331,
    kMsgIsFileExistReply = 332,
    kMsgMaxTimeStamp = 333,
    kMsgMaxTimeStampReply = 334,
    kMsgSyncFolder = 335,
    kMsgSyncFolderReply = 336,
    kMsgReplayClusterStatus = 337,
    kMsgReplayClusterStatusReply = 338,
    kMsgQueryExist = 339,
    kMsgQueryExistReply = 340,
    kMsgDBStatus = 341,
    kMsgDBStatusReply = 342,
    kMsgQueryBulk = 343,
    kMsgQueryBulkReply = 344,
    kMsgModifyBulk = 345,
    kMsgModifyBulkReply = 346,
    kMsgBatchQueryBulk = 347,
    kMsgBatchQueryBulkReply = 348,
    kMsgBatchModifyBulk = 349,
    kMsgBatchModifyBulkReply = 350,
    // Our own: what a local service serves (not in the table every service registers).
    kMsgServiceInfo = 901,
    kMsgServiceInfoReply = 902,
    kMsgProductValues = 903,  // ours too: the product key's version values, on the remote service
    kMsgProductValuesReply = 904,
    kMsgMetrics = 905,
    kMsgMetricsReply = 906,
    kMsgBackupDatabase = 907,
    kMsgBackupDatabaseReply = 908,
    kMsgRestoreDatabase = 909,
    kMsgRestoreDatabaseReply = 910,
    // Ids a remote service only relays to the master, and what it relays them as.
    kMsgRelay2032 = 2032,
    kMsgRelay2033 = 2033,
    kMsgRelay2034 = 2034,
    kMsgRelay2035 = 2035,
    kMsgMaster2013 = 2013,
    kMsgMaster2023 = 2023,
    kMsgMaster801 = 801,
    // Messages sent on to the master by the batch handlers.
    kMsgSandboxRegistration = 102004,
    kMsgSingleSignOn = 455,
    kMsgSingleSignOnReply = 462,
};

// The ids a service object registers, in registration order.
inline constexpr int kServedMsgIdCount = 27;
inline constexpr int kServedMsgIds[kServedMsgIdCount] = {
    301, 303, 305, 313,  315,  309,  307,  311, 317, 319, 325, 327, 329, 331,
    333, 335, 337, 2032, 2033, 2035, 2034, 339, 341, 343, 345, 347, 349};

inline constexpr int ReplyIdOf(int requestId) {
    return requestId + 1;
}
// The id under which a remote service relays `id` to the master.
int RelayedIdOf(int id);

inline constexpr int kResultOk = 0;
inline constexpr int kResultFail = -1;

// Change kinds of a notification body.
enum ChangeKind : int {
    kChangeWritten = 3,
    kChangeDeleted = 4,
    kChangeLoaded = 5,
    kChangeUnloaded = 6,
};
inline constexpr unsigned int kNotificationMark = 0xFFFFFFFFu;

// Every request, reply and body buffer is built with this initial size.
inline constexpr unsigned long kBufferSize = 1024;

inline constexpr wchar_t kMasterComponent[] = L"ID_ZOLT_MASTER";
// The remote service other computers reach (over mutual TLS).
inline constexpr wchar_t kRemoteComponent[] = L"ID_ZOLT_REMOTE_CFG";
inline constexpr wchar_t kSystemWatcherComponent[] = L"ID_ZOLT_SYSTEM_WATCHER";
inline constexpr wchar_t kNullPolicy[] = L"ZOLT_PLC_NULL";
inline constexpr wchar_t kNullSubject[] = L"ZOLT_SUB_NULL";
inline constexpr wchar_t kVServerEnvSubject[] = L"ZOLT_SUB_CFG_VRS_ENV";

// The key of a request that names one setting.
struct CKey {
    OS::x_wstring server;
    CSubjectID policy;
    CSubjectID subject;
    OS::x_wstring category;
};

// --- items -------------------------------------------------------------------------------
void WriteSubject(CIPCMsgBuffer& buf, const CSubjectID& subject);
void ReadSubject(const CIPCMsgBuffer& buf, CSubjectID& subject);
// A setting (or an apply-all setting) in its own serialized form.
void WriteSetting(CIPCMsgBuffer& buf, const CStreamable& setting);
void ReadSetting(const CIPCMsgBuffer& buf, CStreamable& setting);
void WriteKey(CIPCMsgBuffer& buf, const OS::x_wstring& server, const CSubjectID& policy,
              const CSubjectID& subject, const OS::x_wstring& category);
void WriteKey(CIPCMsgBuffer& buf, const CKey& key);
void ReadKey(const CIPCMsgBuffer& buf, CKey& key);

// --- requests (the whole message, id first) ------------------------------------------------
// 301, 343, 339, 305, 311, 317, 319: the id and the key.
void WriteKeyRequest(CIPCMsgBuffer& buf, int id, const CKey& key);
// 303, 345: the id, the key, the setting, the action and the notify flag.
void WriteModifyRequest(CIPCMsgBuffer& buf, int id, const CKey& key, const CStreamable& setting,
                        int action, bool notify);
// 313 (id written as unsigned int): server, category, notify flag, the apply-all setting.
void WriteApplyAllRequest(CIPCMsgBuffer& buf, const OS::x_wstring& server,
                          const OS::x_wstring& category, bool notify, const CStreamable& applyAll);
// 315: server, category, the subject count and the subjects.
void WriteQueryAllRequest(CIPCMsgBuffer& buf, const OS::x_wstring& server,
                          const OS::x_wstring& category,
                          const std::vector<OS::x_wstring>& subjects);
// 341: the id only.
void WriteDBStatusRequest(CIPCMsgBuffer& buf);

// 901: the id only.
void WriteServiceInfoRequest(CIPCMsgBuffer& buf);

// 903: the id only.
void WriteProductValuesRequest(CIPCMsgBuffer& buf);

// --- request bodies, as the service reads them behind the id ---------------------------------
// What follows key and setting in 303 and 345.
void ReadModifyTail(const CIPCMsgBuffer& buf, int& action, bool& notify);
// What precedes the apply-all setting in 313.
void ReadApplyAllHead(const CIPCMsgBuffer& buf, OS::x_wstring& server, OS::x_wstring& category,
                      bool& notify);
// 315 after the id. A negative count throws CIPCMsgBufferException (BAD_LENGTH); a count larger
// than the subjects present throws when the first missing one is read.
void ReadQueryAllRequest(const CIPCMsgBuffer& buf, OS::x_wstring& server, OS::x_wstring& category,
                         std::vector<OS::x_wstring>& subjects);

// --- replies -------------------------------------------------------------------------------
void WriteReplyId(CIPCMsgBuffer& reply, int replyId);
void WriteResult(CIPCMsgBuffer& reply, int result);
// Reads the reply id and the result (both as unsigned int, as the agent does); true when the id
// is `expectedReplyId` and the result 0. Throws CIPCMsgBufferException on a short reply.
bool ReadReplyOk(const CIPCMsgBuffer& reply, int expectedReplyId);
// 342: true and the status when the reply id is 342; false (nothing more read) otherwise.
bool ReadDBStatusReply(const CIPCMsgBuffer& reply, bool& status);

// What a local service serves, as 901 answers it.
struct CServiceInfo {
    OS::x_wstring version;   // the library version of the service's process, "1.0.0"
    OS::x_wstring home;      // the folder above the connection file's folder
    OS::x_wstring database;  // the database file
    OS::x_wstring provider;  // the connection file's provider, "sqlite"
    std::vector<OS::x_wstring> servers;
};
// More server names than this in a 902 reply make it malformed.
inline constexpr int kMaxServiceInfoServers = 256;
// 902 with result 0: the reply id, 0 and `info`.
void WriteServiceInfoReply(CIPCMsgBuffer& reply, const CServiceInfo& info);
// True and `info` filled when the reply id is 902 and the result 0; false (nothing more read)
// otherwise. Throws CIPCMsgBufferException on a short reply or a server count outside
// 0..kMaxServiceInfoServers.
bool ReadServiceInfoReply(const CIPCMsgBuffer& reply, CServiceInfo& info);

// The "Version", "ServicePack" and "PatchBuild" values of a computer's product key and the
// "ServerRole" and "FullVersion" values of its mail-server key (a number as decimal text), as
// 903 answers them (a missing value is empty).
struct CProductValues {
    OS::x_wstring version, servicePack, patchBuild;
    OS::x_wstring serverRole, mailVersion;
};
// The values named as in the registry ("Version", ..., "FullVersion"); a missing name is empty.
CProductValues ProductValuesOf(const std::map<std::wstring, std::wstring>& named);
// 904 with result 0: the reply id, 0 and `values`.
void WriteProductValuesReply(CIPCMsgBuffer& reply, const CProductValues& values);
// True and `values` filled when the reply id is 904 and the result 0; false otherwise. Throws
// CIPCMsgBufferException on a short reply.
bool ReadProductValuesReply(const CIPCMsgBuffer& reply, CProductValues& values);
// What a local service has counted since it started, as 905 answers it.
// The upper bounds (microseconds) of the latency buckets; one more bucket counts the rest.
inline constexpr int kLatencyBucketCount = 16;
inline constexpr unsigned long long kLatencyBoundsMicros[kLatencyBucketCount - 1] = {
    100,   250,    500,    1000,   2500,    5000,    10000,  25000,
    50000, 100000, 250000, 500000, 1000000, 2500000, 5000000};
struct CRequestStats {
    int id = 0;
    unsigned long long requests = 0;
    unsigned long long failures = 0;  // an exception left the handler, or the reply stayed empty
    unsigned long long sumMicros = 0;
    unsigned long long buckets[kLatencyBucketCount] = {};
};
struct CMetricsSnapshot {
    unsigned long long published = 0;    // notifications published
    unsigned long long observers = 0;    // observers connected now
    unsigned long long dropped = 0;      // observers dropped for falling behind
    unsigned long long dbLost = 0;       // database status changes to lost
    unsigned long long dbRecovered = 0;  // database status changes back to OK
    unsigned long long storeRetries = 0;
    unsigned long long keptBytes = 0;     // bytes of the kept last changes now
    std::vector<CRequestStats> requests;  // ids served at least once, ascending
};
// More request ids than this in a 906 reply make it malformed.
inline constexpr int kMaxMetricsIds = 64;
// 905: the id only.
void WriteMetricsRequest(CIPCMsgBuffer& buf);
// 906 with result 0: the reply id, 0 and `snapshot`.
void WriteMetricsReply(CIPCMsgBuffer& reply, const CMetricsSnapshot& snapshot);
// True and `snapshot` filled when the reply id is 906 and the result 0; false otherwise. Throws
// CIPCMsgBufferException on a short reply, a bucket count other than kLatencyBucketCount or an
// id count outside 0..kMaxMetricsIds.
bool ReadMetricsReply(const CIPCMsgBuffer& reply, CMetricsSnapshot& snapshot);
// What 907 and 909 answer: done (with the bytes of the copy, 907) or the problem in one sentence.
struct CFileOpResult {
    bool ok = false;
    long long bytes = 0;
    OS::x_wstring problem;
};
// 907 or 909 with its path.
void WriteFileOpRequest(CIPCMsgBuffer& buf, int id, const OS::x_wstring& path);
// 908 or 910 (`replyId`), the result and what follows it.
void WriteFileOpReply(CIPCMsgBuffer& reply, int replyId, const CFileOpResult& result);
// True and `result` filled when the reply id is `expectedReplyId`; false (nothing more read)
// otherwise. Throws CIPCMsgBufferException on a short reply.
bool ReadFileOpReply(const CIPCMsgBuffer& reply, int expectedReplyId, CFileOpResult& result);

// --- change notification ---------------------------------------------------------------------
struct CNotification {
    CSubjectID policy;
    OS::x_wstring server;
    int changeKind = 0;
};
void WriteNotificationBody(CIPCMsgBuffer& body, const CSubjectID& policy,
                           const OS::x_wstring& server, int changeKind);
// True and `out` filled when `body` is a complete configuration-service notification (starts
// with the mark); false for anything else. Never throws.
bool ReadNotificationBody(const CIPCMsgBuffer& body, CNotification& out);

// --- relaying ------------------------------------------------------------------------------
// `out` := relayedId as int, then every byte written to `received` (whatever has been read).
void BuildRelayRequest(const CIPCMsgBuffer& received, int relayedId, CIPCMsgBuffer& out);

}  // namespace NS_CfgProtocol
