// zoltcfg replicate: copies the stored settings of one server to another. The settings are read
// in chunks by batch queries on the source, passed through the replication filter here (so that
// the report can say what the filter drops and rewrites, and --dry-run can show it without
// writing), compared with what the target already stores, and written by batch modifies on the
// target, whose service runs the same filter as it stores. A setting the target already holds
// with the values that would be written is not sent again, so a repeated run finishes what an
// interrupted one left. The report lists every setting with its outcome; after each chunk a line
// on standard error says how far the run is.
// Thread rule: run on the main thread, which writes to the target; one reader thread is the only
// one to reach the source: it asks its values, lists its keys, cuts the chunks, reads them and
// runs the report's filter on them, at most kReadAhead chunks ahead, and hands each over through
// CChunkReader. An item is written by the reader until its chunk is handed over, by the main
// thread afterwards.
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <future>
#include <iostream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <numeric>
#include <optional>
#include <string_view>
#include <thread>

#include "cfg_Replication.h"
#include "outside/audit/SourceType.h"
#include "outside/registry/CRegKey.h"
#include "outside/registry/CRegUtil.h"
#include "outside/registry/HomeDir.h"
#include "protocol/cfg_RequestProtocol.h"
#include "setting/cfg_SettingCategoryFake.h"
#include "setting/cfg_SettingSkip.h"
#include "tools/zoltcfg/Commands.h"
#include "tools/zoltcfg/OutputFormat.h"

namespace zoltcli {
namespace {

namespace P = NS_CfgProtocol;

bool IsThisComputer(const std::string& name) {
    if (name == "localhost") return true;
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0) return false;
    const std::string full(host);
    return name == full || name == full.substr(0, full.find('.'));
}

// One end of the copy: this computer's daemon, or another computer's remote service.
struct CEnd {
    explicit CEnd(const std::string& n)
        : name(n),
          local(IsThisComputer(n)),
          host(Wide(n)),
          // Each daemon keeps its own settings under "localhost".
          wideName(L"localhost"),
          // The target publishes what it wrote, so the proxies of its processes drop the values
          // they cached.
          agent(local ? L"ID_ZOLT_MASTER" : P::kRemoteComponent, true) {}
    const wchar_t* Remote() const { return local ? nullptr : host.c_str(); }
    // How the other end reaches this one.
    OS::x_wstring SeenFromElsewhere() const {
        char h[256] = {};
        return local && gethostname(h, sizeof h - 1) == 0 ? Wide(h) : host;
    }

    std::string name;
    bool local;
    OS::x_wstring host;
    OS::x_wstring wideName;
    CCfgAgent agent;
};

using CSettings = std::vector<std::unique_ptr<CCfgSettingCategoryFake>>;

// The settings of a chunk as an end sent them: the encoded bytes of each (which go to the target
// as they are: its service runs the filter itself), and the decoded setting where it is kept.
struct CReadChunk {
    CSettings settings;  // null where not read, or not kept decoded
    // Offset and size in the reply; size 0 where the setting could not be read.
    std::vector<std::pair<size_t, unsigned int>> encoded;
    CIPCMsgBuffer reply;
};

// What became of a setting; kOutcomeText says it in the report.
enum class EOutcome : unsigned char {
    kNotDone,
    kWritten,
    kUnchanged,
    kFilteredOut,
    kRefused,
    kFailed,
    kWouldWrite,
};
constexpr const char* kOutcomeText[] = {"not done", "written", "unchanged",  "filtered out",
                                        "refused",  "failed",  "would write"};

// A setting of the source in the report. Ten thousand of them are made before the first chunk
// is read, so an item is kept small: its category points into the run's list of categories.
struct CItem {
    std::string policy, subject;
    std::string detail;  // the rule, the rewritten fields or the failure
    const std::string* category = nullptr;
    EOutcome outcome = EOutcome::kNotDone;
};

// Calls `visit(name, value, other's value or null)` for each field of `s`, in its order.
template <class Visit>
void CompareFields(const CCfgSettingCategoryBase& s, const CCfgSettingCategoryBase& other,
                   Visit&& visit) {
    class CCompare : public CCfgSettingCategoryBase::CFieldInfoCallback {
      public:
        CCompare(const CCfgSettingCategoryBase& o, Visit& v) : m_other(o), m_visit(v) {}
        bool operator()(unsigned int, const OS::x_wstring& name, const CVar& value) override {
            CVar there;
            return m_visit(name, value, m_other.GetFieldValue(name, there) ? &there : nullptr);
        }

      private:
        const CCfgSettingCategoryBase& m_other;
        Visit& m_visit;
    } compare(other, visit);
    s.EnumerateFieldValue(compare);
}

// The fields the filter erased or changed, "A, B (erased)".
std::string Rewritten(const CCfgSettingCategoryBase& before, const CCfgSettingCategoryBase& after) {
    std::string out;
    const auto add = [&out](const OS::x_wstring& name, const char* how) {
        out += (out.empty() ? "" : ", ") + name.ToUtf8() + how;
    };
    CompareFields(before, after,
                  [&](const OS::x_wstring& name, const CVar& value, const CVar* now) {
                      if (!now || !(*now == value)) add(name, now ? "" : " (erased)");
                      return true;
                  });
    CompareFields(after, before, [&](const OS::x_wstring& name, const CVar&, const CVar* was) {
        if (!was) add(name, " (added)");
        return true;
    });
    return out;
}

// True when every field to be written is stored with the same value already. A stored setting
// reads every column of its table, so a field it lacks is one the target's table cannot hold.
bool AlreadyStored(const CCfgSettingCategoryBase& toWrite, const CCfgSettingCategoryBase& stored) {
    bool same = true;
    CompareFields(toWrite, stored, [&](const OS::x_wstring&, const CVar& value, const CVar* there) {
        same = !there || *there == value;
        return same;
    });
    return same;
}

// What `end`'s registry says of its product and mail server: this computer's read here,
// another's through its product-values request.
P::CProductValues EndValues(CEnd& end) {
    P::CProductValues values;
    if (end.local) {
        std::map<std::wstring, std::wstring> named;
        CRegUtil::ReadLocalProductValues(named);
        return P::ProductValuesOf(named);
    }
    CIPCMsgBuffer request(P::kBufferSize, false), reply(P::kBufferSize, false);
    P::WriteProductValuesRequest(request);
    std::string endpoint;
    try {
        end.agent.SendRequest(request, reply, end.Remote(), std::chrono::seconds(30), endpoint);
        if (!P::ReadProductValuesReply(reply, values)) values = {};
    } catch (const OS::CException& e) {
        throw Refused("cannot reach " + end.name + " (" + e.GetErrorMsg().ToUtf8() + ").");
    }
    return values;
}

// `text` as a number; `fallback` when it is empty.
double Number(const OS::x_wstring& text, double fallback) {
    return text.empty() ? fallback : std::wcstod(text.c_str(), nullptr);
}

// Calls `visit(policy, subject)` for each stored key "policy:subject" of `category` on `end`, in
// the order listed; a key that does not split into a policy and a subject is passed over.
// `expect(count)` is called first with the number of keys that follow.
template <class Expect, class Visit>
void ListStoredKeys(CEnd& end, const std::string& category, Expect&& expect, Visit&& visit) {
    CIPCMsgBuffer out;
    bool ok = false;
    try {
        ok = end.agent.QueryConfigurationSettings(end.wideName, Wide(category), {L"CFG_INDEX"}, out,
                                                  end.Remote());
    } catch (const OS::CException& e) {
        throw Refused("cannot reach " + end.name + " (" + e.GetErrorMsg().ToUtf8() + ").");
    }
    if (!ok) throw Refused(end.name + " refused to list the settings of " + category + ".");
    OS::x_wstring name;
    unsigned int count = 0;
    out >> name >> count;
    if (count > out.GetCurrentSize()) throw Refused(end.name + " sent a malformed list.");
    expect(count);  // bounded by the bytes received: each key takes some
    CVar v;
    std::string key;
    for (unsigned int r = 0; r < count; ++r) {
        // A key is a string value (kind, then its UTF-8 text with its length): taken as the text
        // it is sent as. Any other value is read as a value and skipped.
        unsigned short kind = 0;  // little-endian on the wire
        if (out.GetCurrentSize() >= 2)
            kind = static_cast<unsigned short>(out.GetCurrentBuffer()[0] | out.GetCurrentBuffer()[1]
                                                                               << 8);
        if (kind == VT_BSTR) {
            unsigned int length = 0;
            out >> kind >> length;
            if (length > out.GetCurrentSize()) throw Refused(end.name + " sent a malformed list.");
            key.resize(length);
            out.GetInto(key.data(), length);
        } else {
            CCfgSettingCategoryBase::CVarFromBuffer(v, out);
            if (!v.IsString()) continue;
            key = v.GetString().ToUtf8();
        }
        std::string_view policy, subject;
        if (SplitStoredKey(std::string_view(key), policy, subject)) visit(policy, subject);
    }
}

// Puts items[first..] in the order of their keys, policy then subject. An item is large: the
// order is found on indexes, then each item is moved once, along the cycles of that order.
void SortByKey(std::vector<CItem>& items, size_t first) {
    const size_t n = items.size() - first;
    const auto less = [&](uint32_t a, uint32_t b) {
        const CItem& x = items[first + a];
        const CItem& y = items[first + b];
        if (const int c = x.policy.compare(y.policy)) return c < 0;
        return x.subject < y.subject;
    };
    std::vector<uint32_t> order(n);
    std::iota(order.begin(), order.end(), 0u);
    if (std::is_sorted(order.begin(), order.end(), less)) return;
    std::sort(order.begin(), order.end(), less);
    // The item at order[k] belongs at k.
    for (size_t start = 0; start < n; ++start) {
        if (order[start] == start) continue;
        CItem held = std::move(items[first + start]);
        size_t k = start;
        while (order[k] != start) {
            const size_t from = order[k];
            items[first + k] = std::move(items[first + from]);
            order[k] = static_cast<uint32_t>(k);
            k = from;
        }
        items[first + k] = std::move(held);
        order[k] = static_cast<uint32_t>(k);
    }
}

// A stored key as the store compares keys: "policy:subject" without regard to ASCII case.
std::string StoreKey(std::string_view policy, std::string_view subject) {
    std::string key;
    key.reserve(policy.size() + 1 + subject.size());
    key.append(policy).append(1, ':').append(subject);
    for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return key;
}

// Reads the settings of `items` (one policy, one category) from `end` into `result`, each
// decoded when `decode` (null where a setting could not be read), else only its bytes found.
// Throws CCliError when the server cannot be reached or its answer is malformed.
void ReadChunk(CEnd& end, const std::vector<CItem*>& items, CReadChunk& result, bool decode) {
    result.settings.clear();
    result.settings.resize(items.size());
    result.encoded.assign(items.size(), {0, 0});
    if (items.empty()) return;
    CIPCMsgBuffer& out = result.reply;
    OS::x_wstring selection;
    for (const CItem* it : items) selection += Wide(it->subject + ":" + *it->category + ";");
    bool ok = false;
    try {
        ok = end.agent.QueryBatchConfigurationSettings(
            end.wideName, CSubjectID(Wide(items.front()->policy)), selection, out, end.Remote());
    } catch (const OS::CException& e) {
        throw Refused("cannot reach " + end.name + " (" + e.GetErrorMsg().ToUtf8() + ").");
    }
    if (!ok) return;
    try {
        int count = 0;
        out >> count;
        for (int i = 0; i < count && i < static_cast<int>(items.size()); ++i) {
            int itemResult = -1;
            out >> itemResult;
            if (itemResult != 0) continue;
            P::CKey key;
            P::ReadKey(out, key);
            const size_t start = out.GetCurrentBuffer() - out.GetBuffer();
            const unsigned long left = out.GetCurrentSize();
            if (decode) {
                auto setting = std::make_unique<CCfgSettingCategoryFake>(key.category);
                P::ReadSetting(out, *setting);
                setting->SetSubjectID(key.subject.ToString());
                result.settings[i] = std::move(setting);
            } else {
                CCfgSettingSkip::SkipSetting(out);
            }
            result.encoded[i] = {start, static_cast<unsigned int>(left - out.GetCurrentSize())};
        }
    } catch (const OS::CException& e) {
        throw Refused(end.name + " sent a malformed answer (" + e.GetErrorMsg().ToUtf8() + ").");
    }
}

// One chunk: consecutive items of one policy and one category, what the source sent for them
// (each setting as the report's filter left it; the encoded bytes as sent), and what that filter
// kept (an item it dropped has its outcome already).
struct CChunk {
    std::vector<CItem*> items;
    CReadChunk read;
    std::vector<size_t> kept;  // indexes into items
    std::string error;         // the source could not be read: the run ends here
};

// Cuts the items into chunks, reads them from the source and filters them, in order, on a thread
// of its own, so that the source reads and the report's filter runs while the target writes the
// chunk before. The thread first asks the source for its product values and lists its keys, on
// the connection it reads the chunks on (one TLS handshake for the run), while the main thread
// asks the target; Begin() then gives it the items to read. Next() hands the chunks over one by
// one, then an empty one; a failure to read is handed over in its chunk's place and ends the
// reading. Done() gives a chunk back, to be freed on the reader thread that allocated it (memory
// freed on another thread costs a lock of the allocator for every object).
class CChunkReader {
  public:
    static constexpr size_t kReadAhead = 2;
    // Without a chunk size, a chunk holds as many settings as the ones before averaged in about
    // this many bytes (the first holds kFirstChunk), at most kMaxChunk.
    static constexpr size_t kChunkBytes = 1 << 20;
    static constexpr size_t kFirstChunk = 200;
    static constexpr size_t kMaxChunk = 1000;

    using Prepare = std::function<void(CChunk&)>;
    using List = std::function<std::vector<CItem>()>;  // throws CCliError
    CChunkReader(CEnd& source, List list)
        : m_source(source),
          m_list(std::move(list)),
          m_values(m_askedValues.get_future()),
          m_items(m_listed.get_future()),
          m_thread([this] { Run(); }) {}
    ~CChunkReader() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_changed.notify_all();
        m_thread.join();
    }
    CChunkReader(const CChunkReader&) = delete;
    CChunkReader& operator=(const CChunkReader&) = delete;

    // The source's product values; throws what asking for them threw (CCliError).
    P::CProductValues SourceValues() { return m_values.get(); }
    // What the listing gave; throws what it threw (CCliError).
    // REQUIRES: SourceValues() returned.
    std::vector<CItem> Items() { return m_items.get(); }

    // Starts the reading of `items` (kept by reference until the reader is destroyed).
    void Begin(std::vector<CItem>& items, size_t chunkSize, Prepare prepare) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_reading = &items;
            m_fixed = chunkSize;
            m_prepare = std::move(prepare);
        }
        m_changed.notify_all();
    }

    // Gives back a chunk that Next() handed over and the caller is done with.
    void Done(CChunk&& chunk) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_spent.push_back(std::move(chunk));
        }
        m_changed.notify_all();
    }

    // The next chunk; one without items after the last. Each wait is bounded by the reads' own
    // deadlines. REQUIRES: Begin() was called.
    CChunk Next() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return !m_ready.empty(); });
        CChunk chunk = std::move(m_ready.front());
        m_ready.pop_front();
        m_changed.notify_all();
        return chunk;
    }

  private:
    void Run() {
        try {
            m_askedValues.set_value(EndValues(m_source));
        } catch (...) {
            m_askedValues.set_exception(std::current_exception());
            return;
        }
        try {
            m_listed.set_value(m_list());
        } catch (...) {
            m_listed.set_exception(std::current_exception());
            return;
        }
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_changed.wait(lock, [this] { return m_stop || m_reading != nullptr; });
            if (m_stop) return;
        }
        std::deque<CChunk> spent;
        std::vector<CItem>& items = *m_reading;
        size_t size = m_fixed ? m_fixed : kFirstChunk;
        for (size_t begin = 0;;) {
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_changed.wait(lock, [this] { return m_stop || m_ready.size() < kReadAhead; });
                if (m_stop) return;
                spent.swap(m_spent);
            }
            spent.clear();
            CChunk chunk;
            for (size_t i = begin; i < items.size() && chunk.items.size() < size; ++i) {
                if (items[i].policy != items[begin].policy ||
                    items[i].category != items[begin].category)
                    break;
                chunk.items.push_back(&items[i]);
            }
            begin += chunk.items.size();
            try {
                ReadChunk(m_source, chunk.items, chunk.read, false);
                if (!m_fixed && !chunk.items.empty()) {
                    const size_t each =
                        std::max<size_t>(1, chunk.read.reply.BytesUsed() / chunk.items.size());
                    size = std::clamp<size_t>(kChunkBytes / each, 1, kMaxChunk);
                }
                m_prepare(chunk);
            } catch (const CCliError& e) {
                chunk.error = e.what();
            } catch (const OS::CException& e) {
                chunk.error = "the settings read from " + m_source.name +
                              " could not be filtered (" + e.GetErrorMsg().ToUtf8() + ").";
            } catch (const std::exception& e) {
                chunk.error = "the settings read from " + m_source.name +
                              " could not be filtered (" + e.what() + ").";
            }
            const bool last = chunk.items.empty() || !chunk.error.empty();
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_ready.push_back(std::move(chunk));
            }
            m_changed.notify_all();
            if (last) return;
        }
    }

    CEnd& m_source;
    const List m_list;
    std::promise<P::CProductValues> m_askedValues;
    std::future<P::CProductValues> m_values;
    std::promise<std::vector<CItem>> m_listed;
    std::future<std::vector<CItem>> m_items;
    // Set by Begin(), under m_mutex; read by the reader thread afterwards.
    std::vector<CItem>* m_reading = nullptr;
    size_t m_fixed = 0;  // the chunk size asked for; 0 for automatic
    Prepare m_prepare;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<CChunk> m_ready;
    std::deque<CChunk> m_spent;  // given back, to be freed by the reader
    bool m_stop = false;
    std::thread m_thread;  // last: starts once the members above exist
};

// A setting as the report's filter works on it: it tells whether the filter erased a field it
// held (a field the filter writes marks the setting dirty; some fields are erased from every
// setting, held or not).
class CFilteredSetting : public CCfgSettingCategoryFake {
  public:
    using CCfgSettingCategoryFake::CCfgSettingCategoryFake;
    void EraseField(const x_wstring& name) override {
        CVar held;
        if (!GetFieldValue(name, held)) return;
        CCfgSettingCategoryFake::EraseField(name);
        m_erased = true;
    }
    bool Erased() const { return m_erased; }

  private:
    bool m_erased = false;
};

// The filter as the report runs it: a kept sandbox setting is registered by the target's service
// when it stores it, not by this report.
class CReportFilter : public CCfgReplicationFilter {
  protected:
    void RegisterSandboxSetting(CCfgSettingCategoryBase&) override {}
};

}  // namespace

int RunReplicate(const CCliContext& ctx, const CReplicateOptions& o) {
    // A run allocates and frees many small objects per setting, chunk after chunk: memory given
    // back to the system after one chunk would only be faulted in again for the next.
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    if (o.from == o.to) throw Usage("--from and --to name the same server.");
    std::vector<std::string> categories = o.categories;
    if (categories.empty())
        for (const auto& c : ctx.Schema().Categories()) categories.push_back(c.name);
    for (auto& c : categories) c = ctx.Schema().Category(c).name;

    CEnd source(o.from), target(o.to);
    std::vector<CItem> items;  // before the reader, which reads them until it is destroyed
    std::string failure;
    // The reader asks the source for its values and lists its keys, on the one connection it
    // then reads the chunks on, while this thread asks the target.
    std::optional<CChunkReader> reader;
    reader.emplace(source, [&] {
        std::vector<CItem> listed;
        for (const auto& category : categories) {
            const size_t first = listed.size();
            ListStoredKeys(
                source, category, [&](size_t count) { listed.reserve(first + count); },
                [&](std::string_view policy, std::string_view subject) {
                    if (o.subjects.empty() || std::find(o.subjects.begin(), o.subjects.end(),
                                                        subject) != o.subjects.end())
                        listed.push_back(
                            {std::string(policy), std::string(subject), {}, &category});
                });
            // In the order of their keys, whatever order the source lists them in.
            SortByKey(listed, first);
        }
        return listed;
    });
    const P::CProductValues targetValues = EndValues(target);
    const P::CProductValues sourceValues = reader->SourceValues();
    // An empty batch makes the target open its connection to the source (it asks the source's
    // product values for every batch) while the reader lists the source, instead of when the
    // first chunk arrives; not before the reader's own handshake is done, which it would slow
    // down. It writes nothing; a target that cannot be reached says so here.
    if (!o.dryRun) {
        CIPCMsgBuffer none, reply;
        none << 0;
        try {
            target.agent.ModifyBatchConfigurationSettings(
                target.wideName, o.sourceRole.value_or(-1), none, reply, target.Remote(),
                CCfgSettingDBBase::MA_WRITE_CLEAN, source.SeenFromElsewhere(), Wide("zoltcfg"),
                static_cast<SourceType>(o.sourceType));
        } catch (const OS::CException& e) {
            failure = "cannot reach " + o.to + " (" + e.GetErrorMsg().ToUtf8() + ").";
        }
    }
    // The target's stored keys, per category (not read in a dry run), listed meanwhile too:
    // only those settings are read back there. Each category's keys are sorted, to be searched.
    std::map<const std::string*, std::vector<std::string>> onTarget;
    try {
        if (!o.dryRun && failure.empty())
            for (const auto& category : categories) {
                auto& keys = onTarget[&category];
                ListStoredKeys(
                    target, category, [&](size_t count) { keys.reserve(count); },
                    [&](std::string_view policy, std::string_view subject) {
                        keys.push_back(StoreKey(policy, subject));
                    });
                std::sort(keys.begin(), keys.end());
            }
    } catch (const CCliError& e) {
        failure = e.what();
    }
    try {
        items = reader->Items();
    } catch (const CCliError& e) {
        if (failure.empty()) failure = e.what();
    }
    const double sourceVersion = Number(sourceValues.version, 0.0);
    const double targetVersion = Number(targetValues.version, 0.0);
    const int sourceServicePack = static_cast<int>(Number(sourceValues.servicePack, 0.0));
    const int targetServicePack = static_cast<int>(Number(targetValues.servicePack, 0.0));
    // A role or mail-server version given on the command line stands for what the registry says;
    // an unknown role counts as every role.
    const long sourceRole =
        o.sourceRole.value_or(static_cast<long>(Number(sourceValues.serverRole, -1.0)));
    const long targetRole =
        o.targetRole.value_or(static_cast<long>(Number(targetValues.serverRole, -1.0)));
    const double sourceMail = o.sourceMailVersion.value_or(Number(sourceValues.mailVersion, 0.0));
    const double targetMail = o.targetMailVersion.value_or(Number(targetValues.mailVersion, 0.0));
    if (o.sourceType == ST_POLICY_DEPLOYMENT &&
        (sourceVersion != targetVersion || sourceServicePack != targetServicePack))
        throw Refused("the product on " + o.to + " (version " + std::to_string(targetVersion) +
                      ") does not fit the one on " + o.from + " (version " +
                      std::to_string(sourceVersion) + "); policy changes are not copied.");

    CReportFilter filter;
    // After each chunk, how far the run is: a line on standard error, also when it is not a
    // terminal (a caller watching a long run, or one that stops it, sees where it stood).
    const auto progress = [&](size_t done) {
        if (failure.empty())
            std::cerr << "replicate: " << done << " of " << items.size() << " settings done"
                      << std::endl;
    };
    const OS::x_wstring sourceSeen = source.SeenFromElsewhere();
    // On the reader thread: what the filter does to each setting of a chunk, for the report.
    // The filter works on the setting as read; where it wrote or erased a field, what it
    // rewrote is found by encoding the result again and, only where the bytes differ from the
    // source's, comparing field by field with the setting decoded once more from them.
    // Each setting is decoded here, one at a time, and kept decoded only when the target holds
    // its key (to be compared with what is stored there): a chunk's settings are never all
    // built at once.
    const auto prepare = [&](CChunk& chunk) {
        CIPCMsgBuffer again;
        for (size_t i = 0; i < chunk.items.size(); ++i) {
            CItem& item = *chunk.items[i];
            const auto& [offset, size] = chunk.read.encoded[i];
            if (size == 0) {
                item.outcome = EOutcome::kFailed;
                item.detail = "the source could not read it";
                continue;
            }
            const unsigned char* sent = chunk.read.reply.GetBuffer() + offset;
            const auto decoded = [&] {
                CIPCMsgBuffer bytes(size, false);
                bytes.Put(sent, size);
                bytes.Rewind();
                auto setting = std::make_unique<CFilteredSetting>(Wide(*item.category));
                try {
                    P::ReadSetting(bytes, *setting);
                } catch (const OS::CException& e) {
                    throw Refused(source.name + " sent a malformed answer (" +
                                  e.GetErrorMsg().ToUtf8() + ").");
                }
                setting->SetSubjectID(Wide(item.subject));
                return setting;
            };
            auto read = decoded();
            // Clean before the filter, to see whether it wrote a field; as read again after.
            const bool wasDirty = read->IsDirty();
            read->ResetDirtyFlag(false);
            const wchar_t* rule = nullptr;
            if (filter.FilterNamingRule(sourceSeen, target.wideName, sourceRole, targetRole,
                                        sourceVersion, sourceServicePack, sourceMail, targetMail,
                                        *read, o.sourceType, rule)) {
                item.outcome = EOutcome::kFilteredOut;
                item.detail = OS::x_wstring(rule).ToUtf8();
                continue;
            }
            const bool touched = read->IsDirty() || read->Erased();
            if (!read->IsDirty()) read->ResetDirtyFlag(wasDirty);
            // A setting the filter neither wrote nor erased a field of is not rewritten.
            if (touched) {
                again.ResetBuffer();
                P::WriteSetting(again, *read);
                if (again.BytesUsed() != size || std::memcmp(again.GetBuffer(), sent, size) != 0) {
                    item.detail = Rewritten(*decoded(), *read);
                    if (!item.detail.empty()) item.detail = "rewritten: " + item.detail;
                }
            }
            if (o.dryRun) item.outcome = EOutcome::kWouldWrite;
            chunk.kept.push_back(i);
            const auto keys = onTarget.find(item.category);
            if (keys != onTarget.end() && !keys->second.empty() &&
                std::binary_search(keys->second.begin(), keys->second.end(),
                                   StoreKey(item.policy, item.subject)))
                chunk.read.settings[i] = std::move(read);
        }
    };
    // The reader is stopped before the report reads the items.
    if (failure.empty()) reader->Begin(items, o.chunk, prepare);
    size_t done = 0;
    while (failure.empty()) {
        CChunk chunk = reader->Next();
        if (!chunk.error.empty()) failure = chunk.error;
        if (chunk.items.empty() || !failure.empty()) break;
        struct CGiveBack {
            CChunkReader& reader;
            CChunk& chunk;
            ~CGiveBack() { reader.Done(std::move(chunk)); }
        } giveBack{*reader, chunk};
        // Writes what the chunk's filter kept and the target does not hold already.
        const auto write = [&] {
            std::vector<CItem*> kept;
            for (const size_t i : chunk.kept) kept.push_back(chunk.items[i]);
            if (o.dryRun || kept.empty()) return;
            // Only what the target stores is read there (a read of a missing setting would add
            // a default row), in one batch query; those settings were kept decoded.
            std::vector<CItem*> present;
            std::vector<size_t> presentAt(kept.size(), SIZE_MAX);
            for (size_t k = 0; k < kept.size(); ++k)
                if (chunk.read.settings[chunk.kept[k]]) {
                    presentAt[k] = present.size();
                    present.push_back(kept[k]);
                }
            CReadChunk stored;
            ReadChunk(target, present, stored, true);
            std::vector<CItem*> sent;
            std::vector<size_t> sentAt;  // indexes into chunk.items
            for (size_t k = 0; k < kept.size(); ++k) {
                CItem& item = *kept[k];
                if (presentAt[k] != SIZE_MAX && stored.settings[presentAt[k]] &&
                    AlreadyStored(*chunk.read.settings[chunk.kept[k]],
                                  *stored.settings[presentAt[k]])) {
                    item.outcome = EOutcome::kUnchanged;
                    continue;
                }
                sent.push_back(&item);
                sentAt.push_back(chunk.kept[k]);
            }
            if (sent.empty()) return;
            CIPCMsgBuffer settings(static_cast<unsigned long>(chunk.read.reply.BytesUsed()));
            settings << static_cast<int>(sent.size());
            // A chunk's settings share their policy and category.
            const CSubjectID policy(Wide(sent.front()->policy));
            const OS::x_wstring category = Wide(*sent.front()->category);
            for (size_t k = 0; k < sent.size(); ++k) {
                // The source's setting goes out as read: the target's filter rewrites it.
                settings << 0;
                P::WriteKey(settings, target.wideName, policy, CSubjectID(Wide(sent[k]->subject)),
                            category);
                const auto& [offset, size] = chunk.read.encoded[sentAt[k]];
                settings.Put(chunk.read.reply.GetBuffer() + offset, size);
            }
            CIPCMsgBuffer reply;
            bool ok = false;
            try {
                // A setting read from the source is clean: the target writes it all the same,
                // every field of it.
                ok = target.agent.ModifyBatchConfigurationSettings(
                    target.wideName, sourceRole, settings, reply, target.Remote(),
                    CCfgSettingDBBase::MA_WRITE_CLEAN | CCfgSettingDBBase::MA_NO_IGNORE_FIELDS,
                    sourceSeen, Wide("zoltcfg"), static_cast<SourceType>(o.sourceType));
            } catch (const OS::CException& e) {
                for (CItem* s : sent) {
                    s->outcome = EOutcome::kFailed;
                    s->detail = "no answer from the target: stored or not, a repeated run tells";
                }
                throw Refused("cannot reach " + o.to + " (" + e.GetErrorMsg().ToUtf8() + ").");
            }
            // The reply: the count sent, then one result per setting the target kept.
            std::vector<int> results;
            try {
                reply.Rewind();
                unsigned int id = 0;
                int count = 0;
                reply >> id >> count;
                while (reply.GetCurrentSize() >= sizeof(int) && results.size() < sent.size()) {
                    int result = 0;
                    reply >> result;
                    results.push_back(result);
                }
            } catch (const OS::CException&) {
            }
            for (size_t i = 0; i < sent.size(); ++i) {
                if (results.size() != sent.size()) {
                    sent[i]->outcome = ok ? EOutcome::kFailed : EOutcome::kRefused;
                    sent[i]->detail =
                        ok ? "the target's filter decided otherwise" : "refused by the target";
                } else {
                    sent[i]->outcome = results[i] == 0 ? EOutcome::kWritten : EOutcome::kRefused;
                }
            }
        };
        try {
            write();
            progress(done += chunk.items.size());
        } catch (const CCliError& e) {
            failure = e.what();
        }
    }
    reader.reset();

    constexpr size_t kOutcomes = std::size(kOutcomeText);
    size_t counts[kOutcomes] = {};
    for (const auto& item : items) ++counts[static_cast<size_t>(item.outcome)];
    if (ctx.json) {
        nlohmann::ordered_json out = nlohmann::ordered_json::array();
        for (const auto& it : items)
            out.push_back({{"policy", it.policy},
                           {"category", *it.category},
                           {"subject", it.subject},
                           {"outcome", kOutcomeText[static_cast<size_t>(it.outcome)]},
                           {"detail", it.detail}});
        std::cout << nlohmann::ordered_json{{"settings", out}, {"error", failure}}.dump(2) << '\n';
    } else {
        PrintTable(std::cout, {"CATEGORY", "KEY", "OUTCOME", "DETAIL"}, items.size(),
                   [&](size_t row, size_t column) {
                       const CItem& it = items[row];
                       switch (column) {
                           case 0:
                               return *it.category;
                           case 1:
                               return it.policy + ":" + it.subject;
                           case 2:
                               return std::string(kOutcomeText[static_cast<size_t>(it.outcome)]);
                           default:
                               return it.detail;
                       }
                   });
    }
    std::cerr << "replicate " << o.from << " -> " << o.to << ": ";
    // Every outcome but "not done", and "would write" only in a dry run.
    const auto wouldWrite = static_cast<size_t>(EOutcome::kWouldWrite);
    for (size_t k = static_cast<size_t>(EOutcome::kWritten); k < kOutcomes; ++k)
        if (counts[k] || k != wouldWrite) std::cerr << counts[k] << ' ' << kOutcomeText[k] << ", ";
    std::cerr << items.size() << " in all" << std::endl;
    if (!failure.empty()) throw Refused(failure + " The report above shows what was done.");
    const bool anyFailed = counts[static_cast<size_t>(EOutcome::kRefused)] +
                               counts[static_cast<size_t>(EOutcome::kFailed)] >
                           0;
    return anyFailed ? kExitRefused : kExitOk;
}

}  // namespace zoltcli
