// CINIReader: reads a small text setting file and hands its lines, and the tokens of each line,
// to callbacks. The file is UTF-8; a line ends at "\n" (a "\r" before it is dropped).
// Thread rule: a reader is used by one thread at a time; the callbacks run on that thread.
#pragma once

#include <vector>

#include "outside/common/x_wstring.h"

class CINIReader {
  public:
    // Receives the tokens of one line. It names the line and the delimiter set itself.
    class CIterateEachTokenCallback {
      public:
        virtual ~CIterateEachTokenCallback() = default;
        // The text to split and the delimiter characters.
        virtual const wchar_t* GetLineContent() const = 0;
        virtual const wchar_t* GetDelimiter() const = 0;
        // One token and its position (0 for the first); false stops the split.
        virtual bool operator()(int position, const wchar_t* token) = 0;
        // True when `token` starts with `marker` (an empty marker marks nothing).
        virtual bool IsComment(const wchar_t* token, const wchar_t* marker) const;
    };

    // Receives every line of the file.
    class CIterateEachLineCallback {
      public:
        virtual ~CIterateEachLineCallback() = default;
        // One line, without its line end; false stops the walk.
        virtual bool operator()(const wchar_t* line) = 0;
        // Splits `tokens`' line at runs of its delimiters (no empty tokens) and calls it once
        // per token in order until it returns false. Returns the number of tokens handed out.
        int Enumerate(CIterateEachTokenCallback& tokens);
    };

    // Reads `file` ("r" is the only mode: read text). False, with no lines kept, when the file
    // cannot be opened or read, or for another mode. A second Parse replaces the lines.
    bool Parse(const wchar_t* file, const wchar_t* mode);
    // Calls `lines` once per line of the last parsed file, in file order.
    void Enumerate(CIterateEachLineCallback& lines) const;
    size_t GetLineCount() const { return m_vecLines.size(); }

  private:
    std::vector<OS::x_wstring> m_vecLines;
};
