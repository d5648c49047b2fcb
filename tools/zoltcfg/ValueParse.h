// Turning what an administrator types (FIELD=VALUE, FIELD:KIND=VALUE) and what a dump file holds
// (JSON values) into typed field values of the setting model.
//
// Kinds are named as in the schema file: string, int16, int32, int64, bool, date, double, bytes.
// Value texts: integers in decimal; bool as 1/0, true/false, yes/no, on/off; date as
// YYYY-MM-DD, YYYY-MM-DD HH:MM:SS (or with a T) or an automation date number; double in decimal
// or exponent form; bytes as hexadecimal digits (an even number of them, empty for none).
// Thread rule: no shared state.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "outside/variant/CVar.h"

namespace zoltcli {

// The kind named `name`, or nullopt for a name that is not a kind.
std::optional<VARTYPE> KindFromName(const std::string& name);
// The schema name of `kind` ("int32"), or "vt N" for a kind with no schema name.
std::string KindName(VARTYPE kind);

// One FIELD=VALUE or FIELD:KIND=VALUE argument.
struct CAssignment {
    std::string field;
    std::optional<VARTYPE> kind;  // given explicitly
    std::string text;
};

// Splits `arg` at its first '='. Throws CCliError (usage) when there is no '=', the field name is
// empty or the kind after ':' is not a kind.
CAssignment ParseAssignment(const std::string& arg);

// The value of `text` as a value of `kind`. Throws CCliError (refused) saying why it does not fit.
CVar ParseValue(const std::string& text, VARTYPE kind);

// The value `assignment` gives a field of kind `fieldKind`: parsed as its explicit kind when it
// has one, then converted to the field's kind. Throws CCliError (refused) when it does not fit,
// or when it is of a kind the setting format carries no payload for (it would be stored empty).
CVar ValueForField(const CAssignment& assignment, VARTYPE fieldKind);

// The value a dump file's JSON `value` gives a field of kind `fieldKind` (null: no value).
// Throws CCliError (refused) saying why it does not fit, as ValueForField does.
CVar ValueFromJson(const nlohmann::json& value, VARTYPE fieldKind);

}  // namespace zoltcli
