// CXMLException: the error of the XML layer (file that cannot be read, text that is not
// well-formed XML, a bad XPath expression, a document that cannot be saved).
//
// The code says which; the message names the file or expression and the parser's reason.
// Thread rule: a value type.
#pragma once

#include "outside/common/CException.h"

class CXMLException : public OS::CException {
  public:
    enum Code : int {
        kFileUnreadable = 1,  // the file does not exist or cannot be read
        kNotWellFormed = 2,   // the text is not well-formed XML
        kBadXPath = 3,        // the XPath expression does not compile or does not select nodes
        kNoDocument = 4,      // a selection on a parser that holds no document
        kSaveFailed = 5,      // the document cannot be written to the file
    };
    CXMLException(int code, const wchar_t* file, int line, OS::x_wstring message = {})
        : OS::CException(code, file, line, std::move(message)) {}
    OS::x_wstring GetErrorMsg() const override;
};
