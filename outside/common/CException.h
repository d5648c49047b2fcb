// OS::CException: the root of every exception the library throws or catches.
//
// Carries an int error code, the source file and line that raised it, and optionally a
// message. Derived exceptions override GetErrorMsg() to describe their codes.
// Thread rule: a value type.
#pragma once

#include "cfg_Export.h"
#include "outside/common/x_wstring.h"

// The wide name of the current source file, for exception and log call sites.
#define OS_WIDEN2(x) L##x
#define OS_WIDEN(x) OS_WIDEN2(x)
#define OS_WFILE OS_WIDEN(__FILE__)

namespace OS {

class ZOLTCFG_API CException {
  public:
    CException(int code, const wchar_t* file, int line, x_wstring message = {});
    CException(const CException&) = default;
    CException& operator=(const CException&) = default;
    virtual ~CException();

    virtual int GetErrorCode() const { return m_nCode; }
    // The message of the code; the base gives the message it was built with.
    virtual x_wstring GetErrorMsg() const { return m_strMessage; }
    // The message with code, source file and line: "<msg> (code N at file:line)".
    virtual x_wstring GetErrorMsgEx() const;

    const x_wstring& GetFile() const { return m_strFile; }
    int GetLine() const { return m_nLine; }

  protected:
    int m_nCode;
    x_wstring m_strFile;
    int m_nLine;
    x_wstring m_strMessage;
};

// An operating-system call failed; the code is the errno value.
class ZOLTCFG_API CSystemException : public CException {
  public:
    using CException::CException;
};

// A calendar conversion failed (a date outside the supported range).
class ZOLTCFG_API CTimeException : public CException {
  public:
    using CException::CException;
};

}  // namespace OS
