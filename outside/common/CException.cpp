// OS::CException members.
// Thread rule: a value type.
#include "outside/common/CException.h"

namespace OS {

CException::CException(int code, const wchar_t* file, int line, x_wstring message)
    : m_nCode(code),
      m_strFile(file ? file : L""),
      m_nLine(line),
      m_strMessage(std::move(message)) {}

CException::~CException() = default;

x_wstring CException::GetErrorMsgEx() const {
    x_wstring out;
    out.Format(L"%ls (code %d at %ls:%d)", GetErrorMsg().c_str(), GetErrorCode(), m_strFile.c_str(),
               m_nLine);
    return out;
}

}  // namespace OS
