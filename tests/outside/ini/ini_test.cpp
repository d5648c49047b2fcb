// Tests of the setting-file reader: lines (line ends, empty lines, a missing last line end),
// the token split at runs of delimiters, stopping early, the comment test and refusals. (The
// factory's setting-file tests read real module lists through it.)
#include <gtest/gtest.h>

#include <vector>

#include "outside/ini/CINIReader.h"
#include "tests/support/TempDir.h"

namespace {

struct CLines : CINIReader::CIterateEachLineCallback {
    std::vector<OS::x_wstring> lines;
    size_t stopAfter = 1000;
    bool operator()(const wchar_t* line) override {
        lines.push_back(line);
        return lines.size() < stopAfter;
    }
};

struct CTokens : CINIReader::CIterateEachTokenCallback {
    CTokens(const wchar_t* line, const wchar_t* delimiters) : line(line), delimiters(delimiters) {}
    const wchar_t* GetLineContent() const override { return line; }
    const wchar_t* GetDelimiter() const override { return delimiters; }
    bool operator()(int position, const wchar_t* token) override {
        seen.emplace_back(position, token);
        return static_cast<int>(seen.size()) < stopAfter;
    }
    const wchar_t* line;
    const wchar_t* delimiters;
    int stopAfter = 1000;
    std::vector<std::pair<int, OS::x_wstring>> seen;
};

TEST(INIReader, ReadsLinesOfAFile) {
    testsupport::CTempDir dir("zoltcfg-ini");
    testsupport::WriteFile(dir / "a.txt",
                           "first line\r\n\n# comment\n  indented\tline\nlast\xC3\xA9");
    const OS::x_wstring file = OS::x_wstring::FromUtf8((dir / "a.txt").string());

    CINIReader reader;
    ASSERT_TRUE(reader.Parse(file.c_str(), L"r"));
    CLines lines;
    reader.Enumerate(lines);
    EXPECT_EQ(lines.lines, (std::vector<OS::x_wstring>{L"first line", L"", L"# comment",
                                                       L"  indented\tline", L"last\u00E9"}));

    CLines two;
    two.stopAfter = 2;
    reader.Enumerate(two);
    EXPECT_EQ(two.lines.size(), 2u);

    // A failed Parse keeps no lines.
    const OS::x_wstring missing = OS::x_wstring::FromUtf8((dir / "missing.txt").string());
    EXPECT_FALSE(reader.Parse(missing.c_str(), L"r"));
    EXPECT_EQ(reader.GetLineCount(), 0u);
}

TEST(INIReader, SplitsTokensAtRunsOfDelimiters) {
    CLines line;
    CTokens tokens(L" \t7  mod\t\t/x/y.so four five \n", L" \t\n");
    EXPECT_EQ(line.Enumerate(tokens), 5);
    EXPECT_EQ(tokens.seen,
              (std::vector<std::pair<int, OS::x_wstring>>{
                  {0, L"7"}, {1, L"mod"}, {2, L"/x/y.so"}, {3, L"four"}, {4, L"five"}}));

    CTokens stopping(L"a b c d", L" ");
    stopping.stopAfter = 2;
    EXPECT_EQ(line.Enumerate(stopping), 2);
    EXPECT_EQ(stopping.seen.size(), 2u);

    EXPECT_TRUE(tokens.IsComment(L"#x", L"#"));
    EXPECT_FALSE(tokens.IsComment(L"x#", L"#"));
    EXPECT_FALSE(tokens.IsComment(L"x", L""));
}

}  // namespace
