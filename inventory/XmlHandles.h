#pragma once

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xpath.h>

#include <memory>

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

using XmlDocument = std::unique_ptr<xmlDoc, XmlDocFree>;
using XmlXPathObject = std::unique_ptr<xmlXPathObject, XmlXPathObjectFree>;
using XmlXPathContext = std::unique_ptr<xmlXPathContext, XmlXPathContextFree>;
