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

inline bool isXmlElement(const xmlNode* node, const char* name) {
    return node->type == XML_ELEMENT_NODE &&
           xmlStrcmp(node->name, reinterpret_cast<const xmlChar*>(name)) == 0;
}

using XmlDocument = std::unique_ptr<xmlDoc, XmlDocFree>;
using XmlXPathObject = std::unique_ptr<xmlXPathObject, XmlXPathObjectFree>;
using XmlXPathContext = std::unique_ptr<xmlXPathContext, XmlXPathContextFree>;

// The non-empty node set that expression selects in doc, or null; report
// gets the line to log when the evaluation itself fails. The caller frees a
// returned object.
template <typename Report>
xmlXPathObjectPtr selectNodes(xmlDocPtr doc, const xmlChar* expression, Report&& report) {
    XmlXPathContext context(xmlXPathNewContext(doc));
    if (!context) {
        report("getnodeset :: Error in xmlXPathNewContext\n");
        return nullptr;
    }
    XmlXPathObject result(xmlXPathEvalExpression(expression, context.get()));
    context.reset();
    if (!result) {
        report("getnodeset :: Error in xmlXPathEvalExpression\n");
        return nullptr;
    }
    xmlNodeSetPtr nodes = result->nodesetval;
    if (!nodes || nodes->nodeNr == 0 || !nodes->nodeTab) {
        return nullptr;
    }
    return result.release();
}

// The content of the attribute's first child text node (owned by the
// document), or null when the attribute or its value is absent.
inline const xmlChar* attributeValue(xmlNodePtr node, const xmlChar* name) {
    xmlAttrPtr attribute = xmlHasProp(node, name);
    if (!attribute || !attribute->children) {
        return nullptr;
    }
    return attribute->children->content;
}
