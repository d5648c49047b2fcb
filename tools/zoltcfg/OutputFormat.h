// How zoltcfg shows things: field values as text and as JSON, and aligned tables. The text and
// JSON forms of a value are the ones ValueParse reads back, so a value shown can be typed again
// and a dump loads back to the same values.
// Thread rule: no shared state.
#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <vector>

#include "cfg_Setting.h"
#include "outside/variant/CVar.h"
#include "tools/zoltcfg/CliSchema.h"

namespace zoltcli {

// A setting's fields, name and value.
using FieldList = std::vector<std::pair<std::string, CVar>>;

// The setting's fields in the schema's order, fields the schema does not list last.
FieldList OrderedFields(const CCfgSettingCategoryBase& setting, const CCliCategory& category);

// The value as text: integers in decimal, bool as true/false, date as YYYY-MM-DD or
// YYYY-MM-DD HH:MM:SS, double in its shortest exact form, bytes as upper-case hexadecimal, no
// value as "(null)".
std::string FormatValue(const CVar& value);

// The value as JSON: numbers and booleans as such, strings, dates and bytes as their text form,
// no value as null.
nlohmann::ordered_json ValueToJson(const CVar& value);

// `text` with its control characters escaped (\t, \n, \r, else \xNN), for one line of output.
std::string Printable(const std::string& text);

// Writes `rows` under `header`, cells made Printable, columns padded to their widest cell in
// characters (UTF-8 sequences count as one; the last column unpadded). A row with fewer cells
// than the header ends early.
void PrintTable(std::ostream& out, const std::vector<std::string>& header,
                const std::vector<std::vector<std::string>>& rows);
// The same for `rows` rows whose cells `cell(row, column)` gives (each asked for twice), for a
// large table that is not to be copied whole.
void PrintTable(std::ostream& out, const std::vector<std::string>& header, size_t rows,
                const std::function<std::string(size_t, size_t)>& cell);

}  // namespace zoltcli
