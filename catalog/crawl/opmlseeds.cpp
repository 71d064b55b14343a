#include "opmlseeds.h"

#include "texthelpers.h"
#include "xmlnodes.h"

#include <libxml/parser.h>

#include <climits>

namespace catalog {

namespace {

void collect(xmlNode *parent, std::vector<std::string> &urls)
{
    for (xmlNode *node = parent->children; node; node = node->next) {
        if (!XmlNodes::named(node, "outline"))
            continue;
        const std::string url = XmlNodes::attribute(node, "xmlUrl");
        if (!TextHelpers::trimmed(url).empty())
            urls.emplace_back(TextHelpers::trimmed(url));
        collect(node, urls);
    }
}

} // namespace

bool OpmlSeeds::isXml(std::string_view text)
{
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)
        text.remove_prefix(3);
    text = TextHelpers::trimmed(text);
    return !text.empty() && text[0] == '<';
}

std::optional<std::vector<std::string>> OpmlSeeds::read(std::string_view text)
{
    if (text.empty() || text.size() > size_t(INT_MAX))
        return std::nullopt;
    const int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
    XmlNodes::Document document(
        xmlReadMemory(text.data(), int(text.size()), nullptr, nullptr, options));
    // Entities would be expanded at every read of an attribute that names one.
    if (!document || (document->intSubset && document->intSubset->entities))
        return std::nullopt;
    xmlNode *root = xmlDocGetRootElement(document.get());
    if (!root || !XmlNodes::named(root, "opml"))
        return std::nullopt;
    std::vector<std::string> urls;
    if (xmlNode *body = XmlNodes::child(root, "body"))
        collect(body, urls);
    return urls;
}

} // namespace catalog
