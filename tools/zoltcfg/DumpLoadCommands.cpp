// zoltcfg dump and load: a whole server's settings to and from one JSON file.
//
//   {
//     "format": "zoltcfg-dump", "version": 1, "server": "<server dumped>",
//     "categories": {
//       "<category>": [ { "policy": "<policy subject>", "subject": "<subject>",
//                         "fields": { "<field>": <value>, ... } }, ... ],   (sorted by key)
//       ...                                                                  (schema order)
//     }
//   }
//
// Values have the JSON forms of OutputFormat.h (null for no value). A dump reads every column of
// every category of the schema with one column read per category; a load checks the whole file
// (JSON, categories, fields, value kinds, keys, the size of each request) before it writes
// anything, then writes each setting with every field it lists. "server" is informational: load
// writes to --server. A dump passes every setting through the load's own check and leaves out,
// naming each on standard error, the stored settings a load would refuse (a row key another
// program wrote that is not "policy:subject"), so that what it writes always loads.
// Thread rule: run on the main thread.
#include <algorithm>
#include <fstream>
#include <iostream>
#include <iterator>
#include <set>
#include <sstream>

#include "cfg_Client.h"
#include "outside/common/CException.h"
#include "tools/zoltcfg/CliError.h"
#include "tools/zoltcfg/Commands.h"
#include "tools/zoltcfg/OutputFormat.h"
#include "tools/zoltcfg/ProgressBar.h"
#include "tools/zoltcfg/ValueParse.h"

namespace zoltcli {

namespace {

constexpr const char* kFormat = "zoltcfg-dump";
constexpr int kVersion = 1;

// One setting of a file: its key and typed fields.
struct CPendingSetting {
    std::string category;
    std::string policy;
    std::string subject;
    std::unique_ptr<CCfgSettingCategoryFake> setting;  // the fields, ready to send
};

// Room in a request frame for what surrounds the setting: ids, the key, action and flags.
constexpr size_t kRequestEnvelope = 4096;

std::string ReadAll(const std::string& file) {
    if (file == "-")
        return std::string(std::istreambuf_iterator<char>(std::cin),
                           std::istreambuf_iterator<char>());
    std::ifstream in(file, std::ios::binary);
    if (!in) throw Refused("cannot open " + file + " for reading.");
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteAll(const std::string& file, const std::string& text) {
    if (file == "-") {
        std::cout << text;
        std::cout.flush();
        return;
    }
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (!out || !(out << text) || !out.flush()) throw Refused("cannot write " + file + ".");
}

// The text of a JSON library message without its "[json.exception...] " prefix.
std::string JsonReason(const std::exception& e) {
    std::string what = e.what();
    if (const auto p = what.find("] ");
        what.rfind("[json.exception", 0) == 0 && p != std::string::npos)
        what = what.substr(p + 2);
    return what;
}

// A key part that the stored row key "policy:subject" can carry.
void CheckKeyPart(const nlohmann::json& entry, const char* name, std::string& out) {
    const auto it = entry.find(name);
    if (it == entry.end() || !it->is_string() || it->get<std::string>().empty())
        throw Refused(std::string("\"") + name + "\" must be a non-empty string");
    out = it->get<std::string>();
    if (out.find(':') != std::string::npos)
        throw Refused(std::string("\"") + name + "\" must not contain ':'");
}

// The setting of one file entry of `category`. Throws CCliError (refused) saying what is wrong
// with it; `where` names the entry once its key is known.
CPendingSetting CheckEntry(const CCliCategory& category, const nlohmann::json& entry,
                           std::string& where) {
    CPendingSetting s{category.name, {}, {}, {}};
    if (!entry.is_object()) throw Refused("it must be an object");
    CheckKeyPart(entry, "policy", s.policy);
    CheckKeyPart(entry, "subject", s.subject);
    where = "setting " + category.name + " " + s.policy + ":" + s.subject;
    const auto fields = entry.find("fields");
    if (fields == entry.end() || !fields->is_object()) throw Refused("it has no \"fields\" object");
    s.setting = CDaemonLink::NewSetting({"", s.policy, category.name, s.subject});
    for (const auto& [fieldName, value] : fields->items()) {
        const CCliField& field = category.Field(fieldName);
        try {
            s.setting->AddFieldValue(Wide(field.name), ValueFromJson(value, field.kind));
        } catch (const CCliError& e) {
            throw Refused("field " + field.name + ": " + e.what());
        }
    }
    // A request larger than a frame would be refused part-way through the load.
    CIPCMsgBuffer request;
    *s.setting >> request;
    const size_t bytes = request.BytesUsed() + s.policy.size() + s.subject.size();
    if (bytes + kRequestEnvelope > CCfgAgent::MaxMessageBytes())
        throw Refused("its " + std::to_string(bytes) + " bytes exceed the " +
                      std::to_string(CCfgAgent::MaxMessageBytes()) +
                      " bytes one request can carry");
    return s;
}

std::vector<CPendingSetting> CheckFile(const CCliContext& ctx, const std::string& file,
                                       const std::string& text) {
    nlohmann::json doc;
    try {
        doc = nlohmann::json::parse(text);
    } catch (const nlohmann::json::exception& e) {
        throw Refused(file + " is not valid JSON: " + JsonReason(e) + ".");
    }
    if (!doc.is_object() || doc.value("format", std::string()) != kFormat)
        throw Refused(file + " is not a zoltcfg dump (it lacks \"format\": \"zoltcfg-dump\").");
    if (!doc.contains("version") || doc["version"] != kVersion)
        throw Refused(file + " is a dump of a version this zoltcfg does not read (it reads " +
                      std::to_string(kVersion) + ").");
    if (!doc.contains("categories") || !doc["categories"].is_object())
        throw Refused(file + " has no \"categories\" object.");

    std::vector<CPendingSetting> pending;
    for (const auto& [typedName, entries] : doc["categories"].items()) {
        const CCliCategory* category = nullptr;
        try {
            category = &ctx.Schema().Category(typedName);
        } catch (const CCliError& e) {
            throw Refused(file + ": " + e.what());
        }
        if (!entries.is_array())
            throw Refused(file + ": category " + typedName + " must hold a list of settings.");
        std::set<std::pair<std::string, std::string>> keys;
        for (size_t i = 0; i < entries.size(); ++i) {
            std::string where = "setting " + std::to_string(i + 1) + " of " + typedName;
            try {
                CPendingSetting s = CheckEntry(*category, entries[i], where);
                if (!keys.insert({s.policy, s.subject}).second) throw Refused("it is listed twice");
                pending.push_back(std::move(s));
            } catch (const CCliError& e) {
                std::string reason = e.what();
                if (!reason.empty() && reason.back() == '.') reason.pop_back();
                throw Refused(file + ": " + where + ": " + reason + ".");
            }
        }
    }
    return pending;
}

}  // namespace

int RunDump(const CCliContext& ctx, const std::string& server, const std::string& file) {
    const CCliSchema& schema = ctx.Schema();
    CDaemonLink link;
    nlohmann::ordered_json doc;
    doc["format"] = kFormat;
    doc["version"] = kVersion;
    doc["server"] = server;
    doc["categories"] = nlohmann::ordered_json::object();
    CProgressBar progress("dumping", "categories", schema.Categories().size());
    size_t done = 0, skipped = 0;
    for (const auto& category : schema.Categories()) {
        std::vector<std::string> names{"CFG_INDEX"};
        for (const auto& f : category.fields) names.push_back(f.name);
        const auto columns = link.ReadColumns(server, category.name, names);
        std::vector<std::pair<std::pair<std::string, std::string>, nlohmann::ordered_json>> rows;
        const size_t count = columns.front().values.size();
        for (size_t r = 0; r < count; ++r) {
            const CVar& key = columns.front().values[r];
            const std::string stored = key.IsString() ? key.GetString().ToUtf8() : std::string();
            std::string policy, subject;
            SplitStoredKey(stored, policy, subject);
            nlohmann::ordered_json entry;
            entry["policy"] = policy;
            entry["subject"] = subject;
            entry["fields"] = nlohmann::ordered_json::object();
            for (size_t c = 1; c < columns.size(); ++c)
                if (r < columns[c].values.size())
                    entry["fields"][category.fields[c - 1].name] =
                        ValueToJson(columns[c].values[r]);
            // What the load will do with this entry, checked now.
            std::string where;
            try {
                CheckEntry(category, nlohmann::json::parse(entry.dump()), where);
            } catch (const std::exception& e) {  // CCliError, or a text that is not UTF-8
                std::string reason = e.what();
                if (!reason.empty() && reason.back() == '.') reason.pop_back();
                progress.Finish();
                std::cerr << "zoltcfg: left out of the dump: " << category.name << " \""
                          << Printable(stored) << "\" (a load would refuse it: " << reason
                          << ").\n";
                ++skipped;
                continue;
            }
            rows.emplace_back(std::make_pair(policy, subject), std::move(entry));
        }
        std::sort(rows.begin(), rows.end(),
                  [](const auto& a, const auto& b) { return a.first < b.first; });
        auto& list = doc["categories"][category.name] = nlohmann::ordered_json::array();
        for (auto& r : rows) list.push_back(std::move(r.second));
        progress.Update(++done);
    }
    progress.Finish();
    WriteAll(file, doc.dump(2) + "\n");
    if (skipped > 0)
        throw Refused("the dump of " + server + " leaves out " + std::to_string(skipped) +
                      (skipped == 1 ? " stored setting" : " stored settings") +
                      " that a load could not write back (named above)");
    return kExitOk;
}

int RunLoad(const CCliContext& ctx, const std::string& server, const std::string& file) {
    const std::string name = file == "-" ? "standard input" : file;
    const std::vector<CPendingSetting> pending = CheckFile(ctx, name, ReadAll(file));
    CDaemonLink link;
    CProgressBar progress("loading", "settings", pending.size());
    std::set<std::string> categories;
    for (size_t i = 0; i < pending.size(); ++i) {
        const CPendingSetting& s = pending[i];
        const CSettingKey key{server, s.policy, s.category, s.subject};
        const auto& setting = s.setting;
        try {
            link.Require(key.server, "write " + key.Describe(), [&] {
                return link.Agent().ModifyConfigurationSettings(
                    Wide(server), CSubjectID(Wide(s.policy)), *setting, nullptr,
                    CCfgSettingDBBase::MA_WRITE_CLEAN | CCfgSettingDBBase::MA_NO_IGNORE_FIELDS);
            });
        } catch (const CCliError& e) {
            throw Refused(std::to_string(i) + " of " + std::to_string(pending.size()) +
                          " settings were loaded, then: " + e.what());
        }
        categories.insert(s.category);
        progress.Update(i + 1);
    }
    progress.Finish();
    auto counted = [](size_t n, const char* one, const char* many) {
        return std::to_string(n) + " " + (n == 1 ? one : many);
    };
    std::cout << "loaded " << counted(pending.size(), "setting", "settings") << " of "
              << counted(categories.size(), "category", "categories") << " into " << server << "\n";
    return kExitOk;
}

}  // namespace zoltcli
