// CSubjectID: streaming a subject as one x_wstring item.
// Thread rule: a value type.
#include "outside/ipc/CSubjectID.h"

CSubjectID::~CSubjectID() = default;

void CSubjectID::operator>>(CIPCMsgBuffer& buf) const {
    buf << m_subject;
}

void CSubjectID::operator<<(const CIPCMsgBuffer& buf) {
    buf >> m_subject;
}
