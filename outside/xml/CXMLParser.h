// CXMLParser: the XML layer over pugixml. Loads a document from a file or from text, selects
// nodes with XPath, reads and writes node names, attributes and text, and saves the document.
//
// Text crosses the interface as wide strings (OS::x_wstring) and is UTF-8 inside.
// CXMLNode and CXMLNodeList are light handles into the parser's document:
// REQUIRES: a node or node list is used only while its parser lives and has not loaded another
// document.
// Thread rule: one parser per thread; distinct parsers may be used from distinct threads.
#pragma once

#include <memory>

#include "outside/common/x_wstring.h"
#include "outside/xml/CXMLException.h"

namespace pugi {
class xml_document;
class xml_node;
class xpath_node_set;
}  // namespace pugi

class CXMLNodeList;

// One element (or other node) of a document; a null node stands for "no node".
class CXMLNode {
  public:
    CXMLNode();
    ~CXMLNode();
    CXMLNode(const CXMLNode&);
    CXMLNode& operator=(const CXMLNode&);

    bool IsNull() const;
    explicit operator bool() const { return !IsNull(); }

    // The element's name ("" for a null node).
    OS::x_wstring GetName() const;
    // The text of the element: the concatenated text of its direct text children ("" if none).
    OS::x_wstring GetText() const;
    // Replaces the element's text children with one text child holding `text`.
    // REQUIRES: !IsNull().
    void SetText(const OS::x_wstring& text);

    bool HasAttribute(const OS::x_wstring& name) const;
    // The attribute's value; "" when the node has no such attribute.
    OS::x_wstring GetAttribute(const OS::x_wstring& name) const;
    // True and `value` set when the attribute exists; false (value untouched) otherwise.
    bool GetAttribute(const OS::x_wstring& name, OS::x_wstring& value) const;
    // Adds or replaces the attribute. REQUIRES: !IsNull().
    void SetAttribute(const OS::x_wstring& name, const OS::x_wstring& value);

    // Appends a child element and returns it. REQUIRES: !IsNull().
    CXMLNode AppendChild(const OS::x_wstring& name);
    // XPath relative to this node. Throws CXMLException(kBadXPath) for a bad expression.
    CXMLNodeList SelectNodes(const OS::x_wstring& xpath) const;
    CXMLNode SelectSingleNode(const OS::x_wstring& xpath) const;

    // The node and its content as XML text.
    OS::x_wstring GetXML() const;

  private:
    friend class CXMLParser;
    friend class CXMLNodeList;
    explicit CXMLNode(const pugi::xml_node& node);
    std::unique_ptr<pugi::xml_node> m_node;
};

// The result of an XPath selection, in document order. Yields its nodes one after another
// through NextNode(), by position through GetItem(), or with a range-for.
class CXMLNodeList {
  public:
    CXMLNodeList();
    ~CXMLNodeList();
    CXMLNodeList(const CXMLNodeList&);
    CXMLNodeList& operator=(const CXMLNodeList&);

    long GetLength() const;
    // The node at `index`; a null node when out of range.
    CXMLNode GetItem(long index) const;
    // The next node, starting with the first; a null node after the last.
    CXMLNode NextNode();
    // Starts NextNode() over from the first node.
    void Reset() { m_next = 0; }

    class iterator {
      public:
        iterator(const CXMLNodeList* list, long pos) : m_list(list), m_pos(pos) {}
        CXMLNode operator*() const { return m_list->GetItem(m_pos); }
        iterator& operator++() {
            ++m_pos;
            return *this;
        }
        bool operator!=(const iterator& o) const { return m_pos != o.m_pos; }

      private:
        const CXMLNodeList* m_list;
        long m_pos;
    };
    iterator begin() const { return iterator(this, 0); }
    iterator end() const { return iterator(this, GetLength()); }

  private:
    friend class CXMLNode;
    friend class CXMLParser;
    explicit CXMLNodeList(const pugi::xpath_node_set& set);
    std::unique_ptr<pugi::xpath_node_set> m_set;
    long m_next = 0;
};

class CXMLParser {
  public:
    CXMLParser();
    ~CXMLParser();
    CXMLParser(const CXMLParser&) = delete;
    CXMLParser& operator=(const CXMLParser&) = delete;

    // Loads the document from a file, replacing the one held. Returns true; throws
    // CXMLException kFileUnreadable or kNotWellFormed (the parser then holds no document).
    bool Load(const OS::x_wstring& file);
    // The same from XML text.
    bool LoadXML(const OS::x_wstring& text);
    // Starts a new document with one root element and returns the root.
    CXMLNode CreateDocument(const OS::x_wstring& rootName);
    bool IsLoaded() const { return m_loaded; }

    // Writes the document (UTF-8, with an XML declaration, indented) to `file`.
    // Throws CXMLException kNoDocument or kSaveFailed.
    void SaveXML(const OS::x_wstring& file) const;
    // The document as XML text (no declaration, indented). Throws kNoDocument.
    OS::x_wstring GetXML() const;

    // The document's root element (null when none is loaded).
    CXMLNode GetDocumentElement() const;
    // XPath over the document. Throws CXMLException kNoDocument or kBadXPath.
    CXMLNodeList XPathSelectNodes(const OS::x_wstring& xpath) const;
    // The first node selected; a null node when nothing matches. Throws like XPathSelectNodes.
    CXMLNode XPathSelectSingleNode(const OS::x_wstring& xpath) const;

  private:
    std::unique_ptr<pugi::xml_document> m_doc;
    bool m_loaded = false;
};
