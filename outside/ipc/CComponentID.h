// CComponentID: the name of one RPC endpoint, such as "ID_ZOLT_MASTER".
// Thread rule: a value type.
#pragma once

#include "cfg_Export.h"
#include "outside/common/x_wstring.h"

class ZOLTCFG_API CComponentID {
  public:
    CComponentID() = default;
    explicit CComponentID(const wchar_t* id) : m_id(id ? id : L"") {}
    explicit CComponentID(const OS::x_wstring& id) : m_id(id) {}
    const wchar_t* GetID() const { return m_id.c_str(); }
    const OS::x_wstring& GetIDString() const { return m_id; }
    bool operator==(const CComponentID& o) const { return m_id == o.m_id; }
    bool operator!=(const CComponentID& o) const { return m_id != o.m_id; }
    bool operator<(const CComponentID& o) const { return m_id < o.m_id; }

  private:
    OS::x_wstring m_id;
};
