#pragma once

#include <libxml/tree.h>
#include <libxml/xpath.h>

#include <string>

// Bridge between the entry points and the inventory driver.
class IPMIInventory {
public:
    // The last inventory document fetched.
    static std::string strOutputXMLString;

    // Runs the driver and keeps its document in strOutputXMLString.
    static void GetInvXMLString();

    // The non-empty node set selected by expression, or null; the caller
    // frees a returned object.
    static xmlXPathObjectPtr getnodeset(xmlDocPtr doc, const xmlChar* expression);

    // The value of attribute name (owned by the document), or null.
    static const xmlChar* GetAttribute(xmlNodePtr node, const xmlChar* name);
};
