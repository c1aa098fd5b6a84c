#pragma once

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xpath.h>

#include <memory>
#include <string>

// Owning handles for libxml2 objects.
struct XmlDocFree {
    void operator()(xmlDocPtr doc) const { xmlFreeDoc(doc); }
};
struct XmlXPathObjectFree {
    void operator()(xmlXPathObjectPtr object) const { xmlXPathFreeObject(object); }
};
struct XmlXPathContextFree {
    void operator()(xmlXPathContextPtr context) const { xmlXPathFreeContext(context); }
};

// An attribute's value as text, empty when the attribute is absent.
inline std::string xmlAttributeText(xmlNodePtr node, const char* name) {
    std::unique_ptr<xmlChar, decltype(xmlFree)> value(
        xmlGetProp(node, reinterpret_cast<const xmlChar*>(name)), xmlFree);
    return value ? reinterpret_cast<const char*>(value.get()) : "";
}

inline bool isXmlElement(xmlNodePtr node, const char* name) {
    return node->type == XML_ELEMENT_NODE &&
           xmlStrcmp(node->name, reinterpret_cast<const xmlChar*>(name)) == 0;
}

using XmlDocument = std::unique_ptr<xmlDoc, XmlDocFree>;
using XmlXPathObject = std::unique_ptr<xmlXPathObject, XmlXPathObjectFree>;
using XmlXPathContext = std::unique_ptr<xmlXPathContext, XmlXPathContextFree>;
