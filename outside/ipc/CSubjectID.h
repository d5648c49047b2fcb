// CSubjectID: a change-notification subject such as "ZOLT_SUB_CFG_VS_RS"; also the subject id of
// a setting. Subjects built from the same string are equal and match; they stream themselves as
// one x_wstring item.
// Thread rule: a value type.
#pragma once

#include "cfg_Export.h"
#include "outside/common/x_wstring.h"
#include "outside/ipc/CIPCMsgBuffer.h"
#include "outside/ipc/CStreamable.h"

class ZOLTCFG_API CSubjectID : public CStreamable {
  public:
    CSubjectID() = default;
    explicit CSubjectID(const OS::x_wstring& subject) : m_subject(subject) {}
    explicit CSubjectID(const wchar_t* subject) : m_subject(subject ? subject : L"") {}
    CSubjectID(const CSubjectID&) = default;
    CSubjectID& operator=(const CSubjectID&) = default;
    // Moved without throwing, so that containers of subjects move them when they grow.
    CSubjectID(CSubjectID&&) noexcept = default;
    CSubjectID& operator=(CSubjectID&&) noexcept = default;
    ~CSubjectID() override;

    OS::x_wstring ToString() const { return m_subject; }
    const OS::x_wstring& Str() const { return m_subject; }
    bool operator==(const CSubjectID& o) const { return m_subject == o.m_subject; }
    bool operator!=(const CSubjectID& o) const { return m_subject != o.m_subject; }
    bool operator<(const CSubjectID& o) const { return m_subject < o.m_subject; }
    // Exact matching: true for subjects built from the same string.
    bool Match(const CSubjectID& o) const { return m_subject == o.m_subject; }

    void operator>>(CIPCMsgBuffer& buf) const override;
    void operator<<(const CIPCMsgBuffer& buf) override;

  private:
    OS::x_wstring m_subject;
};
