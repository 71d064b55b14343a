#include "htmllinks.h"

#include "linkresolver.h"
#include "texthelpers.h"
#include "weblink.h"
#include "xmlnodes.h"

#include <libxml/HTMLparser.h>

#include <climits>

namespace catalog {

namespace {

// Depth-first without recursion: a page of deeply nested tags cannot exhaust the stack.
template<typename Visit>
void walk(xmlNode *root, Visit visit)
{
    for (xmlNode *node = root; node;) {
        visit(node);
        if (node->children) {
            node = node->children;
            continue;
        }
        while (node && !node->next && node != root)
            node = node->parent;
        if (!node || node == root)
            break;
        node = node->next;
    }
}

} // namespace

PageLinks HtmlLinks::read(std::string_view body, const std::string &url, const std::string &charset)
{
    PageLinks links;
    if (body.empty() || body.size() > size_t(INT_MAX))
        return links;
    const int options = HTML_PARSE_RECOVER | HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING
                        | HTML_PARSE_NONET | HTML_PARSE_NOIMPLIED;
    XmlNodes::Document document(htmlReadMemory(body.data(), int(body.size()), url.c_str(),
                                               charset.empty() ? nullptr : charset.c_str(),
                                               options));
    if (!document)
        return links;
    xmlNode *root = xmlDocGetRootElement(document.get());
    std::string baseUrl = url;
    walk(root, [&](xmlNode *node) {
        if (XmlNodes::named(node, "base", true)) {
            const std::string href = WebLink::resolve(url, XmlNodes::attribute(node, "href"));
            if (!href.empty() && baseUrl == url)
                baseUrl = href;
        }
    });
    const LinkResolver base(baseUrl);
    const std::string site = WebLink::host(url);
    walk(root, [&](xmlNode *node) {
        if (!XmlNodes::named(node, "a", true)
            || (links.tracks.size() >= PageLinks::maxTracks
                && links.pages.size() >= PageLinks::maxPages))
            return;
        const std::string href = base.resolve(XmlNodes::attribute(node, "href"));
        if (href.empty())
            return;
        if (WebLink::isMp3(href)) {
            if (links.tracks.size() < PageLinks::maxTracks)
                links.tracks.push_back({href, {}, {}, TextHelpers::bounded(XmlNodes::text(node))});
        } else if (links.pages.size() < PageLinks::maxPages && WebLink::host(href) == site) {
            links.pages.push_back(href);
        }
    });
    return links;
}

} // namespace catalog
