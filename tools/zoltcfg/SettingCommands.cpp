// The single-setting commands of zoltcfg: get, set, del, reset, apply-all and list. Reads use
// the existence read (a plain read of a setting that is not stored would add it), writes name
// the fields given and nothing else.
// Thread rule: run on the main thread.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <set>
#include <utility>

#include "cfg_Client.h"
#include "outside/common/x_wstring.h"
#include "tools/zoltcfg/CliError.h"
#include "tools/zoltcfg/Commands.h"
#include "tools/zoltcfg/OutputFormat.h"
#include "tools/zoltcfg/ValueParse.h"

namespace zoltcli {

namespace {

// The text of a value given as @FILE (@- standard input), read up to the largest request a
// frame can carry. Throws CCliError (refused) when it cannot be read or is larger.
std::string ReadValueFile(const std::string& field, const std::string& file) {
    const size_t limit = CCfgAgent::MaxMessageBytes();
    std::ifstream named;
    if (file != "-") {
        named.open(file, std::ios::binary);
        if (!named)
            throw Refused("cannot read the value of " + field + " from " + file + ": " +
                          std::strerror(errno) + ".");
    }
    std::istream& in = file == "-" ? std::cin : named;
    std::string text;
    char buf[65536];
    while (in.read(buf, sizeof buf) || in.gcount() > 0) {
        text.append(buf, static_cast<size_t>(in.gcount()));
        if (text.size() > limit)
            throw Refused("the value of " + field + " in " +
                          (file == "-" ? "standard input" : file) + " is larger than the " +
                          std::to_string(limit) + " bytes one request can carry.");
    }
    if (in.bad()) throw Refused("cannot read the value of " + field + " from " + file + ".");
    return text;
}

// The typed values of FIELD=VALUE arguments for `category`: the form of every argument is checked
// before any field is looked up, so a usage error wins over a refusal. A VALUE of @FILE is the
// content of FILE (@- standard input, once), one of @@TEXT the text @TEXT.
FieldList TypedAssignments(const CCliCategory& category, const std::vector<std::string>& args) {
    std::vector<CAssignment> parsed;
    std::set<std::string> seen;
    bool stdinTaken = false;
    for (const auto& arg : args) {
        parsed.push_back(ParseAssignment(arg));
        if (parsed.back().text == "@-") {
            if (stdinTaken) throw Usage("only one value can be read from standard input (@-).");
            stdinTaken = true;
        }
        std::string upper = parsed.back().field;
        for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (!seen.insert(upper).second)
            throw Usage("field " + parsed.back().field + " is given more than once.");
    }
    FieldList typed;
    for (auto& a : parsed) {
        const CCliField& field = category.Field(a.field);
        if (a.text.rfind("@@", 0) == 0)
            a.text.erase(0, 1);
        else if (a.text.rfind("@", 0) == 0 && a.text.size() > 1)
            a.text = ReadValueFile(field.name, a.text.substr(1));
        typed.emplace_back(field.name, ValueForField(a, field.kind));
    }
    return typed;
}

void PrintSetting(const CCliContext& ctx, const CSettingKey& key, const CCliCategory& category,
                  const FieldList& fields, bool bareValue) {
    if (ctx.json) {
        nlohmann::ordered_json out;
        out["server"] = key.server;
        out["policy"] = key.policy;
        out["category"] = key.category;
        out["subject"] = key.subject;
        out["fields"] = nlohmann::ordered_json::object();
        for (const auto& [name, value] : fields) out["fields"][name] = ValueToJson(value);
        std::cout << out.dump(2) << '\n';
        return;
    }
    if (bareValue) {
        std::cout << (fields.empty() ? std::string() : FormatValue(fields.front().second)) << '\n';
        return;
    }
    std::vector<std::vector<std::string>> rows;
    for (const auto& [name, value] : fields) {
        // The value's own kind; the schema's for an empty value (a reference field may carry
        // the copy of the setting it names instead of its stored text).
        const CCliField* field = category.FindField(name);
        const VARTYPE kind = !value.IsEmpty() || !field ? value.vt() : field->kind;
        rows.push_back({name, kind == VT_EMPTY ? "-" : KindName(kind), FormatValue(value)});
    }
    PrintTable(std::cout, {"FIELD", "KIND", "VALUE"}, rows);
}

CCliError NotStored(const CSettingKey& key) {
    return Refused("no setting " + key.Describe() + " is stored.");
}

}  // namespace

const CCliSchema& CCliContext::Schema() const {
    if (!m_Schema) m_Schema = CCliSchema::Load(CCliSchema::SchemaFileOf(home));
    return *m_Schema;
}

CSettingKey CCliContext::Checked(CSettingKey key) const {
    key.category = Schema().Category(key.category).name;
    return key;
}

int RunGet(const CCliContext& ctx, const CSettingKey& typedKey,
           const std::vector<std::string>& fields) {
    const CSettingKey key = ctx.Checked(typedKey);
    const CCliCategory& category = ctx.Schema().Category(key.category);
    std::vector<std::string> wanted;
    for (const auto& f : fields) wanted.push_back(category.Field(f).name);

    CDaemonLink link;
    auto setting = CDaemonLink::NewSetting(key);
    if (!link.ReadExisting(key, *setting)) {
        CDaemonLink::RequireServed(key.server);
        throw NotStored(key);
    }
    FieldList all = OrderedFields(*setting, category);
    if (wanted.empty()) {
        PrintSetting(ctx, key, category, all, false);
        return kExitOk;
    }
    FieldList chosen;
    for (const auto& w : wanted)
        for (const auto& f : all)
            if (OS::wcsicmp(Wide(f.first), Wide(w)) == 0) chosen.push_back(f);
    if (chosen.size() != wanted.size())
        throw Refused("the stored setting " + key.Describe() + " lacks a field asked for.");
    PrintSetting(ctx, key, category, chosen, wanted.size() == 1);
    return kExitOk;
}

int RunSet(const CCliContext& ctx, const CSettingKey& typedKey,
           const std::vector<std::string>& assignments) {
    const CSettingKey key = ctx.Checked(typedKey);
    const FieldList typed = TypedAssignments(ctx.Schema().Category(key.category), assignments);
    CDaemonLink link;
    auto setting = CDaemonLink::NewSetting(key);
    for (const auto& [name, value] : typed) setting->AddFieldValue(Wide(name), value);
    // The administrator named these fields: write them even when the row's ignore list names
    // them (that list keeps the product's own bulk writes off a field).
    link.Require(key.server, "write " + key.Describe(), [&] {
        return link.Agent().ModifyConfigurationSettings(
            Wide(key.server), CSubjectID(Wide(key.policy)), *setting, nullptr,
            CCfgSettingDBBase::MA_NO_IGNORE_FIELDS);
    });
    return kExitOk;
}

int RunDel(const CCliContext& ctx, const CSettingKey& typedKey) {
    const CSettingKey key = ctx.Checked(typedKey);
    CDaemonLink link;
    auto setting = CDaemonLink::NewSetting(key);
    if (!link.ReadExisting(key, *setting)) {
        CDaemonLink::RequireServed(key.server);
        throw NotStored(key);
    }
    link.Require(key.server, "delete " + key.Describe(), [&] {
        return link.Agent().DelConfigurationSettings(Wide(key.server), CSubjectID(Wide(key.policy)),
                                                     *setting, nullptr);
    });
    return kExitOk;
}

int RunReset(const CCliContext& ctx, const CSettingKey& typedKey) {
    const CSettingKey key = ctx.Checked(typedKey);
    CDaemonLink link;
    auto setting = CDaemonLink::NewSetting(key);
    link.Require(key.server, "reset " + key.Describe() + " to its defaults", [&] {
        return link.Agent().ResetToDefault(Wide(key.server), CSubjectID(Wide(key.policy)), *setting,
                                           nullptr);
    });
    return kExitOk;
}

int RunApplyAll(const CCliContext& ctx, const std::string& server, const std::string& typedCategory,
                const std::vector<std::string>& assignments) {
    const CCliCategory& category = ctx.Schema().Category(typedCategory);
    const FieldList typed = TypedAssignments(category, assignments);
    CDaemonLink link;
    CCfgSettingApplyAll setting(Wide(category.name));
    for (const auto& [name, value] : typed) setting.AddFieldValue(Wide(name), value);
    link.Require(
        server, "apply the change to every setting of " + category.name + " on " + server,
        [&] { return link.Agent().ModifyConfigurationSettings(Wide(server), setting, nullptr); });
    return kExitOk;
}

int RunList(const CCliContext& ctx, const std::string& server, const std::string& typedCategory) {
    const CCliCategory& category = ctx.Schema().Category(typedCategory);
    CDaemonLink link;
    const auto columns = link.ReadColumns(server, category.name, {"CFG_INDEX"});
    std::vector<std::pair<std::string, std::string>> keys;
    for (const auto& v : columns.front().values) {
        // Shown as stored, also a key that is not "policy:subject" (dump leaves those out).
        std::string policy, subject;
        SplitStoredKey(v.IsString() ? v.GetString().ToUtf8() : std::string(), policy, subject);
        keys.emplace_back(std::move(policy), std::move(subject));
    }
    std::sort(keys.begin(), keys.end());
    if (ctx.json) {
        nlohmann::ordered_json out = nlohmann::ordered_json::array();
        for (const auto& [policy, subject] : keys)
            out.push_back({{"policy", policy}, {"subject", subject}});
        std::cout << out.dump(2) << '\n';
        return kExitOk;
    }
    std::vector<std::vector<std::string>> rows;
    for (const auto& [policy, subject] : keys) rows.push_back({policy, subject});
    PrintTable(std::cout, {"POLICY", "SUBJECT"}, rows);
    return kExitOk;
}

}  // namespace zoltcli
