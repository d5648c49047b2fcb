// NS_StringUtils: splitting and joining helpers of the common library.
//
// splitWords splits at one separator and never yields empty words (so "A:B:" gives A and B,
// and "A::B" gives A and B); GetStrings and SplitStringToTokensW split at any of several
// separator characters the way wcstok does (runs of separators count as one, no empty tokens).
// Thread rule: no shared state.
#pragma once

#include <vector>

#include "outside/common/x_wstring.h"

namespace NS_StringUtils {

using OS::x_wstring;

// Appends the non-empty words of `text` separated by `sep` to `out`.
void splitWords(const x_wstring& text, wchar_t sep, std::vector<x_wstring>& out);

// Appends the tokens of `text` separated by any character of `separators` to `list`;
// returns the number appended.
int GetStrings(const x_wstring& text, const x_wstring& separators, std::vector<x_wstring>& list);

// Joins two path parts with exactly one '/' between them (an empty part yields the other).
x_wstring concatPath(const x_wstring& first, const x_wstring& second);

// Removes leading and trailing blanks (space, tab, CR, LF).
x_wstring Trim(const x_wstring& text);

}  // namespace NS_StringUtils

// wcstok-style splitting as a free function: returns the tokens of `text` separated by any
// character of `separators`.
std::vector<OS::x_wstring> SplitStringToTokensW(const OS::x_wstring& text,
                                                const OS::x_wstring& separators);
