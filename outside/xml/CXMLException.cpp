// CXMLException members: a message for codes raised without one.
// Thread rule: a value type.
#include "outside/xml/CXMLException.h"

OS::x_wstring CXMLException::GetErrorMsg() const {
    if (!m_strMessage.empty()) return m_strMessage;
    switch (m_nCode) {
        case kFileUnreadable:
            return L"The XML file cannot be read.";
        case kNotWellFormed:
            return L"The text is not well-formed XML.";
        case kBadXPath:
            return L"The XPath expression is not valid.";
        case kNoDocument:
            return L"No XML document is loaded.";
        case kSaveFailed:
            return L"The XML document cannot be saved.";
        default:
            return L"XML error.";
    }
}
