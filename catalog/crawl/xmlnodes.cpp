#include "xmlnodes.h"

#include "texthelpers.h"

namespace catalog {

std::string XmlNodes::attribute(xmlNode *node, const char *name)
{
    xmlChar *value = xmlGetProp(node, reinterpret_cast<const xmlChar *>(name));
    if (!value)
        return {};
    std::string text(reinterpret_cast<const char *>(value));
    xmlFree(value);
    return text;
}

std::string XmlNodes::text(xmlNode *node)
{
    xmlChar *content = xmlNodeGetContent(node);
    if (!content)
        return {};
    std::string text(TextHelpers::trimmed(reinterpret_cast<const char *>(content)));
    xmlFree(content);
    return text;
}

bool XmlNodes::named(const xmlNode *node, const char *name, bool ignoreCase)
{
    const auto *wanted = reinterpret_cast<const xmlChar *>(name);
    return node->type == XML_ELEMENT_NODE && node->name
           && (ignoreCase ? xmlStrcasecmp(node->name, wanted) : xmlStrcmp(node->name, wanted)) == 0;
}

xmlNode *XmlNodes::child(xmlNode *parent, const char *name)
{
    for (xmlNode *node = parent ? parent->children : nullptr; node; node = node->next) {
        if (named(node, name))
            return node;
    }
    return nullptr;
}

} // namespace catalog
