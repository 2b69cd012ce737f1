#pragma once
// The HTML and XML downloads read back by libxml2's parsers, as other programs read them.

#include <memory>
#include <string>
#include <vector>

#include <libxml/HTMLparser.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

namespace trtest {

// Parses with libxml2, collecting every error and warning the parser reports.
struct ParsedDoc {
  std::unique_ptr<xmlDoc, void (*)(xmlDocPtr)> doc{nullptr, xmlFreeDoc};
  std::vector<std::string> errors;
};

inline void CollectError(void* errors, xmlErrorPtr error) {
  static_cast<std::vector<std::string>*>(errors)->push_back(error->message ? error->message : "?");
}

inline ParsedDoc Parse(const std::string& bytes, bool html) {
  ParsedDoc parsed;
  xmlSetStructuredErrorFunc(&parsed.errors, CollectError);
  const int size = static_cast<int>(bytes.size());
  parsed.doc.reset(html ? htmlReadMemory(bytes.data(), size, "out.htm", nullptr, HTML_PARSE_NONET)
                        : xmlReadMemory(bytes.data(), size, "out.xml", nullptr, XML_PARSE_NONET));
  xmlSetStructuredErrorFunc(nullptr, nullptr);
  return parsed;
}

inline std::string Content(xmlNode* node) {
  xmlChar* text = xmlNodeGetContent(node);
  std::string out = text ? reinterpret_cast<const char*>(text) : "";
  xmlFree(text);
  return out;
}

inline std::string Name(xmlNode* node) {
  return reinterpret_cast<const char*>(node->name);
}

// The element children of node, or those of one name.
inline std::vector<xmlNode*> Elements(xmlNode* node, const char* name = nullptr) {
  std::vector<xmlNode*> out;
  for (xmlNode* c = node ? node->children : nullptr; c; c = c->next)
    if (c->type == XML_ELEMENT_NODE && (!name || Name(c) == name)) out.push_back(c);
  return out;
}

// The elements of one name anywhere below node, in document order.
inline void Descendants(xmlNode* node, const char* name, std::vector<xmlNode*>& out) {
  for (xmlNode* c : Elements(node)) {
    if (Name(c) == name) out.push_back(c);
    Descendants(c, name, out);
  }
}

}  // namespace trtest
