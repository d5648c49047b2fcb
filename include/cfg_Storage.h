// The store interface every keeper of settings implements (the database store of the
// configuration service, the in-memory cache of each proxy), the key that names a stored setting,
// the modify-action flags, the per-row callback, and the in-memory cache itself.
// Thread rule: CCfgIndex is a value type; CCfgSettingCache may be used from any number of threads
// at once (one lock serialises its operations); other stores say their own rule.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "cfg_Export.h"
#include "outside/common/CCriticalSection.h"
#include "outside/common/x_wstring.h"
#include "outside/ipc/CIPCMsgBuffer.h"
#include "outside/ipc/CSubjectID.h"
#include "outside/variant/CVar.h"

class CCfgSettingCategoryBase;
class CCfgSettingApplyAll;

// The abstract store. A `false` result means the operation was not carried out; stores do not
// throw to their callers unless an operation says so.
class ZOLTCFG_API CCfgSettingDBBase {
  public:
    // (policy subject, subject): the subject pair of a key, policy first.
    using SubjectPair = std::pair<CSubjectID, CSubjectID>;

    // The key of a stored setting: server, policy subject and subject. Its index value
    // "policy:subject" is the row key in a database (the server is never part of it).
    //
    // Ordering and equality use server + policy + subject concatenated WITHOUT separators and
    // compared case-insensitively, so (S, "PA", "X") and (S, "P", "AX") are the same key.
    class CCfgIndex {
      public:
        CCfgIndex() = default;
        CCfgIndex(const OS::x_wstring& server, const SubjectPair& subjects);
        CCfgIndex(const CCfgIndex& other);
        CCfgIndex(CCfgIndex&& other) = default;
        CCfgIndex& operator=(const CCfgIndex& other);
        CCfgIndex& operator=(CCfgIndex&& other) = default;
        ~CCfgIndex();  // not virtual: the key is never deleted through a pointer to a base

        // True when the ordering comparison gives zero.
        virtual bool operator==(const CCfgIndex& other) const;
        bool operator!=(const CCfgIndex& other) const { return !(*this == other); }
        bool operator<(const CCfgIndex& other) const { return Compare(other) < 0; }

        // <0, 0 or >0: the case-insensitive comparison of the separator-free concatenations
        // server + policy + subject of this key and `other`.
        int Compare(const CCfgIndex& other) const;

        // "policy:subject".
        OS::x_wstring GetIndexValue() const;
        // "server:policy:subject".
        OS::x_wstring GetIndexValueWithServerName() const;
        // Parses "policy:subject" like wcstok with ":" as the delimiter set: runs of colons
        // separate tokens, leading colons are skipped, tokens after the second are ignored. A
        // missing token gives an empty subject. The server does not change.
        void SetIndexValue(const OS::x_wstring& value);

        const OS::x_wstring& GetServerName() const { return m_strServer; }
        const SubjectPair& GetSubjectPair() const { return m_pairSubject; }
        const CSubjectID& GetPolicySubject() const { return m_pairSubject.first; }
        const CSubjectID& GetSubjectID() const { return m_pairSubject.second; }
        void SetServerName(const OS::x_wstring& server) { m_strServer = server; }

      private:
        OS::x_wstring m_strServer;
        SubjectPair m_pairSubject;
    };

    // Orders keys for maps keyed by CCfgIndex (the ordering comparison above).
    struct CCfgIndexLess {
        bool operator()(const CCfgIndex& a, const CCfgIndex& b) const { return a.Compare(b) < 0; }
    };

    // How a write treats the setting; the database store reads these bits, every other bit is
    // carried along untouched. Combine with operator| below.
    enum ModifyAction : int {
        MA_NONE = 0,
        MA_WRITE_CLEAN = 1,         // write even a setting that is not dirty
        MA_NO_IGNORE_FIELDS = 2,    // do not read the row's ignore list: write every field
        MA_MARKED_IGNORE_ONLY = 8,  // ignore only the "###"-marked entries of the ignore list
    };

    // Called once per row an apply-all write has written; `false` stops the walk.
    class CCfgIndexCallback {
      public:
        virtual bool operator()(const CCfgIndex& index) = 0;
    };

    CCfgSettingDBBase() = default;
    CCfgSettingDBBase(const CCfgSettingDBBase&) = default;
    CCfgSettingDBBase& operator=(const CCfgSettingDBBase&) = default;

    // The virtual operations, in this order (the order is part of the binary contract).
    virtual ~CCfgSettingDBBase();
    // Replaces the stored setting by its defaults; `changed`, when given, receives the subject
    // ids written.
    virtual bool ResetToDefault(const CCfgIndex& index, CCfgSettingCategoryBase& setting,
                                std::vector<OS::x_wstring>* changed) = 0;
    // Writes the values of the named fields of every stored setting of `category` into `out`.
    virtual bool GetConfiguration(const OS::x_wstring& server, const OS::x_wstring& category,
                                  const std::vector<OS::x_wstring>& fields, CIPCMsgBuffer& out) = 0;
    // Reads one setting into `setting`.
    virtual bool GetConfiguration(const CCfgIndex& index, CCfgSettingCategoryBase& setting) = 0;
    // Writes an apply-all setting into every stored setting of `category`; `callback`, when
    // given, is called for each row written.
    virtual bool SetConfiguration(const OS::x_wstring& server, const OS::x_wstring& category,
                                  const CCfgSettingApplyAll& setting,
                                  CCfgIndexCallback* callback) = 0;
    // Writes one setting; `changed`, when given, receives the subject ids written.
    virtual bool SetConfiguration(const CCfgIndex& index, const CCfgSettingCategoryBase& setting,
                                  std::vector<OS::x_wstring>* changed, ModifyAction action) = 0;
    // Deletes one setting; `removed`, when given, receives the subject ids deleted.
    virtual void RemoveConfiguration(const CCfgIndex& index, const OS::x_wstring& category,
                                     std::vector<OS::x_wstring>* removed) = 0;
};

inline CCfgSettingDBBase::ModifyAction operator|(CCfgSettingDBBase::ModifyAction a,
                                                 CCfgSettingDBBase::ModifyAction b) {
    return static_cast<CCfgSettingDBBase::ModifyAction>(static_cast<int>(a) | static_cast<int>(b));
}

// The in-memory store of a proxy: a private copy of every setting read, keyed by CCfgIndex.
// Each entry owns an object made by the `New()` of the first setting stored under its key; later
// stores assign into that object. Reads and stores copy whole settings in and out under the
// cache's lock, so a reader never sees a half-copied setting and never holds a reference into
// the cache. The cache does no database work and never fails on its own: the reset, the
// column dump and the apply-all write are not supported and return false.
class ZOLTCFG_API CCfgSettingCache : public CCfgSettingDBBase {
  public:
    CCfgSettingCache();
    CCfgSettingCache(const CCfgSettingCache&) = delete;
    CCfgSettingCache& operator=(const CCfgSettingCache&) = delete;

    ~CCfgSettingCache() override;
    // Always false.
    bool ResetToDefault(const CCfgIndex& index, CCfgSettingCategoryBase& setting,
                        std::vector<OS::x_wstring>* changed) override;
    // Always false.
    bool GetConfiguration(const OS::x_wstring& server, const OS::x_wstring& category,
                          const std::vector<OS::x_wstring>& fields, CIPCMsgBuffer& out) override;
    // Absent: false, `setting` untouched. Present: the stored setting is assigned to `setting`
    // (fields merge into it, its dirty flag becomes the stored one's) and the result is true.
    bool GetConfiguration(const CCfgIndex& index, CCfgSettingCategoryBase& setting) override;
    // Always false.
    bool SetConfiguration(const OS::x_wstring& server, const OS::x_wstring& category,
                          const CCfgSettingApplyAll& setting, CCfgIndexCallback* callback) override;
    // Creates the entry (with `setting.New()`) when absent, then assigns `setting` to it. Always
    // true; `changed` and `action` are not used.
    // REQUIRES: `setting.New()` gives an object (categories that cannot be instantiated give
    // null; such a setting is not stored and the result is false).
    bool SetConfiguration(const CCfgIndex& index, const CCfgSettingCategoryBase& setting,
                          std::vector<OS::x_wstring>* changed, ModifyAction action) override;
    // Drops the entry equal to `index`, if any; `category` and `removed` are not used.
    void RemoveConfiguration(const CCfgIndex& index, const OS::x_wstring& category,
                             std::vector<OS::x_wstring>* removed) override;

    // Appends (without clearing `pairs` first) the subject pair of every entry whose server equals
    // `server` case-insensitively, in the cache's key order.
    void GetPolicySubjectPairByVirtualServerName(const OS::x_wstring& server,
                                                 std::vector<SubjectPair>& pairs);

    // The number of entries (for tests and diagnostics).
    size_t GetCount();

    // Like the index-form SetConfiguration, and marks the entry with `mark` (the index-form
    // SetConfiguration marks with 0).
    bool SetMarkedConfiguration(const CCfgIndex& index, const CCfgSettingCategoryBase& setting,
                                uint64_t mark);
    // Like the index-form GetConfiguration, but only from an entry marked with `mark`; false
    // for any other entry and for `mark` 0.
    bool GetMarkedConfiguration(const CCfgIndex& index, uint64_t mark,
                                CCfgSettingCategoryBase& setting);

  private:
    // One cached setting: the owned object, its serialized form as of the last store, which
    // is what an assignment out of the object reads (the object only changes when stored into),
    // and the mark of the last store.
    struct CEntry {
        CCfgSettingCategoryBase* m_pSetting = nullptr;
        CIPCMsgBuffer m_bufSetting;
        uint64_t m_uMark = 0;
    };
    // GetConfiguration's work. REQUIRES: m_csCache held.
    bool CopyOut(const CEntry& entry, CCfgSettingCategoryBase& setting);

    OS::CCriticalSection m_csCache;
    std::map<CCfgIndex, CEntry, CCfgIndexLess> m_mapSetting;
};

// The home folder of the library and its daemon: the registry value "HomeDir" of the product
// key, else the environment variable ZOLTCFG_HOME, else /var/lib/zoltcfg. Its config/ folder
// holds the database's connection file (dbconf_Conf.xml) and schema file (dbSchema_Conf.xml).
// Thread rule: any thread; nothing is kept between calls.
class ZOLTCFG_API CCfgHome {
  public:
    // The home folder, ending with '/'.
    static OS::x_wstring Folder();
    // The same, and in `why` where it came from: "the registry value HomeDir in <file>",
    // "ZOLTCFG_HOME" or "the default (neither ... is set)".
    static OS::x_wstring Folder(std::string& why);
};

// The tables of a database schema file as a program sees them: each table (one category) with
// its columns (its fields) and the value kind each column reads back as.
// Thread rule: any thread; nothing is kept between calls.
class ZOLTCFG_API CCfgSchema {
  public:
    struct CColumn {
        std::string name;  // UTF-8, as the schema spells it
        VARTYPE kind;      // VT_EMPTY: untyped
    };
    struct CTable {
        std::string name;              // UTF-8, the category name
        std::vector<CColumn> columns;  // schema order, without the key column CFG_INDEX
    };
    // Reads `file`. Throws OS::CException when it cannot be read, is not XML, names an unknown
    // column type or a default that does not fit its type, or repeats a column of one table.
    static std::vector<CTable> Load(const OS::x_wstring& file);
    // Checks the database that `connectionFile` describes without creating or changing anything:
    // the connection file, the schema file, the database's integrity, and every table and column
    // of the schema present. One sentence per problem; empty when the database is fit to serve.
    static std::vector<std::string> CheckDatabase(const OS::x_wstring& connectionFile);
};

// Moving a home to another database: copies every table of the schema from the home's database
// into the database another connection file names (SQLite to PostgreSQL or back), checks the
// copy whole (row counts and every value) and only then makes that connection file the home's.
// The home's previous connection file is kept beside it as dbconf_Conf.xml.previous. The target
// database must hold no rows in those tables; a failure leaves the home on its database.
// Thread rule: one run per home at a time, with no daemon serving the home (its writes during
// the copy would not be in the copy).
class ZOLTCFG_API CCfgDatabaseMigration {
  public:
    struct CResult {
        std::string from, to;  // provider and place of each database (never a password)
        size_t tables = 0, rows = 0;
    };
    // `progress(done, total)` follows the rows copied and then checked (total: twice the rows).
    // Throws OS::CException (CDBException from the databases) with a sentence saying what
    // failed.
    static CResult Run(const std::string& home, const std::string& targetConnectionFile,
                       const std::function<void(size_t, size_t)>& progress);
};
