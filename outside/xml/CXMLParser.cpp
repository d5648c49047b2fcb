// CXMLParser, CXMLNode and CXMLNodeList over pugixml: wide text converted to and from UTF-8 at
// the boundary; pugixml errors turned into CXMLException.
// Thread rule: one parser per thread.
#include "outside/xml/CXMLParser.h"

#include <pugixml.hpp>
#include <sstream>

namespace {

std::string U8(const OS::x_wstring& s) {
    return OS::WideToUtf8(s);
}
OS::x_wstring W(const char* s) {
    return OS::Utf8ToWide(s ? s : "");
}

pugi::xpath_node_set Select(const pugi::xml_node& node, const OS::x_wstring& xpath) {
    try {
        return node.select_nodes(U8(xpath).c_str());
    } catch (const pugi::xpath_exception& e) {
        OS::x_wstring msg;
        msg.Format(L"Bad XPath expression \"%ls\": %s", xpath.c_str(), e.what());
        throw CXMLException(CXMLException::kBadXPath, OS_WFILE, __LINE__, msg);
    }
}

OS::x_wstring NodeXML(const pugi::xml_node& node) {
    std::ostringstream out;
    node.print(out, "  ", pugi::format_indent, pugi::encoding_utf8);
    return OS::Utf8ToWide(out.str());
}

}  // namespace

// ---- CXMLNode ----

CXMLNode::CXMLNode() : m_node(std::make_unique<pugi::xml_node>()) {}
CXMLNode::CXMLNode(const pugi::xml_node& node) : m_node(std::make_unique<pugi::xml_node>(node)) {}
CXMLNode::~CXMLNode() = default;
CXMLNode::CXMLNode(const CXMLNode& o) : m_node(std::make_unique<pugi::xml_node>(*o.m_node)) {}
CXMLNode& CXMLNode::operator=(const CXMLNode& o) {
    *m_node = *o.m_node;
    return *this;
}

bool CXMLNode::IsNull() const {
    return !*m_node;
}

OS::x_wstring CXMLNode::GetName() const {
    return W(m_node->name());
}

OS::x_wstring CXMLNode::GetText() const {
    std::string text;
    for (pugi::xml_node child : m_node->children()) {
        if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata)
            text += child.value();
    }
    return OS::Utf8ToWide(text);
}

void CXMLNode::SetText(const OS::x_wstring& text) {
    for (pugi::xml_node child = m_node->first_child(); child;) {
        pugi::xml_node next = child.next_sibling();
        if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata)
            m_node->remove_child(child);
        child = next;
    }
    m_node->append_child(pugi::node_pcdata).set_value(U8(text).c_str());
}

bool CXMLNode::HasAttribute(const OS::x_wstring& name) const {
    return static_cast<bool>(m_node->attribute(U8(name).c_str()));
}

OS::x_wstring CXMLNode::GetAttribute(const OS::x_wstring& name) const {
    return W(m_node->attribute(U8(name).c_str()).value());
}

bool CXMLNode::GetAttribute(const OS::x_wstring& name, OS::x_wstring& value) const {
    pugi::xml_attribute a = m_node->attribute(U8(name).c_str());
    if (!a) return false;
    value = W(a.value());
    return true;
}

void CXMLNode::SetAttribute(const OS::x_wstring& name, const OS::x_wstring& value) {
    std::string n = U8(name);
    pugi::xml_attribute a = m_node->attribute(n.c_str());
    if (!a) a = m_node->append_attribute(n.c_str());
    a.set_value(U8(value).c_str());
}

CXMLNode CXMLNode::AppendChild(const OS::x_wstring& name) {
    return CXMLNode(m_node->append_child(U8(name).c_str()));
}

CXMLNodeList CXMLNode::SelectNodes(const OS::x_wstring& xpath) const {
    return CXMLNodeList(Select(*m_node, xpath));
}

CXMLNode CXMLNode::SelectSingleNode(const OS::x_wstring& xpath) const {
    pugi::xpath_node_set set = Select(*m_node, xpath);
    return set.empty() ? CXMLNode() : CXMLNode(set.first().node());
}

OS::x_wstring CXMLNode::GetXML() const {
    return IsNull() ? OS::x_wstring() : NodeXML(*m_node);
}

// ---- CXMLNodeList ----

CXMLNodeList::CXMLNodeList() : m_set(std::make_unique<pugi::xpath_node_set>()) {}
CXMLNodeList::CXMLNodeList(const pugi::xpath_node_set& set)
    : m_set(std::make_unique<pugi::xpath_node_set>(set)) {
    m_set->sort();  // document order
}
CXMLNodeList::~CXMLNodeList() = default;
CXMLNodeList::CXMLNodeList(const CXMLNodeList& o)
    : m_set(std::make_unique<pugi::xpath_node_set>(*o.m_set)), m_next(o.m_next) {}
CXMLNodeList& CXMLNodeList::operator=(const CXMLNodeList& o) {
    *m_set = *o.m_set;
    m_next = o.m_next;
    return *this;
}

long CXMLNodeList::GetLength() const {
    return static_cast<long>(m_set->size());
}

CXMLNode CXMLNodeList::GetItem(long index) const {
    if (index < 0 || index >= GetLength()) return CXMLNode();
    const pugi::xpath_node& xn = (*m_set)[static_cast<size_t>(index)];
    // An attribute selected by the expression stands for its parent element.
    return CXMLNode(xn.node() ? xn.node() : xn.parent());
}

CXMLNode CXMLNodeList::NextNode() {
    if (m_next >= GetLength()) return CXMLNode();
    return GetItem(m_next++);
}

// ---- CXMLParser ----

CXMLParser::CXMLParser() : m_doc(std::make_unique<pugi::xml_document>()) {}
CXMLParser::~CXMLParser() = default;

bool CXMLParser::Load(const OS::x_wstring& file) {
    m_doc->reset();
    m_loaded = false;
    pugi::xml_parse_result r = m_doc->load_file(U8(file).c_str());
    if (r.status == pugi::status_file_not_found || r.status == pugi::status_io_error ||
        r.status == pugi::status_out_of_memory) {
        OS::x_wstring msg;
        msg.Format(L"Cannot read the XML file \"%ls\": %s", file.c_str(), r.description());
        throw CXMLException(CXMLException::kFileUnreadable, OS_WFILE, __LINE__, msg);
    }
    if (!r || !m_doc->document_element()) {
        m_doc->reset();
        OS::x_wstring msg;
        msg.Format(L"The file \"%ls\" is not well-formed XML: %s at offset %lld", file.c_str(),
                   r ? "no root element" : r.description(), static_cast<long long>(r.offset));
        throw CXMLException(CXMLException::kNotWellFormed, OS_WFILE, __LINE__, msg);
    }
    m_loaded = true;
    return true;
}

bool CXMLParser::LoadXML(const OS::x_wstring& text) {
    m_doc->reset();
    m_loaded = false;
    std::string u8 = U8(text);
    pugi::xml_parse_result r =
        m_doc->load_buffer(u8.data(), u8.size(), pugi::parse_default, pugi::encoding_utf8);
    if (!r || !m_doc->document_element()) {
        m_doc->reset();
        OS::x_wstring msg;
        msg.Format(L"The text is not well-formed XML: %s at offset %lld",
                   r ? "no root element" : r.description(), static_cast<long long>(r.offset));
        throw CXMLException(CXMLException::kNotWellFormed, OS_WFILE, __LINE__, msg);
    }
    m_loaded = true;
    return true;
}

CXMLNode CXMLParser::CreateDocument(const OS::x_wstring& rootName) {
    m_doc->reset();
    m_loaded = true;
    return CXMLNode(m_doc->append_child(U8(rootName).c_str()));
}

void CXMLParser::SaveXML(const OS::x_wstring& file) const {
    if (!m_loaded) throw CXMLException(CXMLException::kNoDocument, OS_WFILE, __LINE__);
    if (!m_doc->save_file(U8(file).c_str(), "  ", pugi::format_default, pugi::encoding_utf8)) {
        OS::x_wstring msg;
        msg.Format(L"Cannot write the XML file \"%ls\"", file.c_str());
        throw CXMLException(CXMLException::kSaveFailed, OS_WFILE, __LINE__, msg);
    }
}

OS::x_wstring CXMLParser::GetXML() const {
    if (!m_loaded) throw CXMLException(CXMLException::kNoDocument, OS_WFILE, __LINE__);
    return NodeXML(*m_doc);
}

CXMLNode CXMLParser::GetDocumentElement() const {
    return m_loaded ? CXMLNode(m_doc->document_element()) : CXMLNode();
}

CXMLNodeList CXMLParser::XPathSelectNodes(const OS::x_wstring& xpath) const {
    if (!m_loaded) throw CXMLException(CXMLException::kNoDocument, OS_WFILE, __LINE__);
    return CXMLNodeList(Select(*m_doc, xpath));
}

CXMLNode CXMLParser::XPathSelectSingleNode(const OS::x_wstring& xpath) const {
    if (!m_loaded) throw CXMLException(CXMLException::kNoDocument, OS_WFILE, __LINE__);
    pugi::xpath_node_set set = Select(*m_doc, xpath);
    set.sort();
    return set.empty() ? CXMLNode()
                       : CXMLNode(set.first().node() ? set.first().node() : set.first().parent());
}
