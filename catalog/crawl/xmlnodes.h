#pragma once

#include <libxml/tree.h>

#include <memory>
#include <string>

namespace catalog {

// What the crawler's readers take from libxml2's trees: documents freed with their owner,
// attribute values and element text as UTF-8. Pure functions, safe on any thread; what is
// absent reads as "" or null.
class XmlNodes
{
public:
    struct DocumentDeleter
    {
        void operator()(xmlDoc *document) const { xmlFreeDoc(document); }
    };
    using Document = std::unique_ptr<xmlDoc, DocumentDeleter>;

    static std::string attribute(xmlNode *node, const char *name);
    // The text of node and everything in it, without blanks at either end.
    static std::string text(xmlNode *node);
    // An element of this name; caseless for HTML, whose parser keeps the page's spelling.
    static bool named(const xmlNode *node, const char *name, bool ignoreCase = false);
    // The first child element of this name, or null.
    static xmlNode *child(xmlNode *parent, const char *name);
};

} // namespace catalog
