#include "feedlinks.h"

#include "linkresolver.h"
#include "texthelpers.h"
#include "weblink.h"
#include "xmlnodes.h"

#include <libxml/SAX2.h>
#include <libxml/parser.h>
#include <libxml/xmlerror.h>

#include <algorithm>
#include <climits>
#include <functional>
#include <memory>
#include <unordered_set>

namespace catalog {

namespace {

bool isAudio(const std::string &type)
{
    return type.compare(0, 10, "audio/mpeg") == 0 || type.compare(0, 9, "audio/mp3") == 0;
}

// An author or creator element's name: Atom's holds a name element; RSS's is text (often an
// address). A creator (dc:creator) goes before an author.
void readAuthor(xmlNode *child, std::string &creator)
{
    xmlNode *name = child->children;
    while (name && !XmlNodes::named(name, "name"))
        name = name->next;
    if (creator.empty() || XmlNodes::named(child, "creator"))
        creator = XmlNodes::text(name ? name : child);
}

// <podcast:person> of the host (the role it has when it names none).
bool isHost(const xmlNode *node)
{
    if (!XmlNodes::named(node, "person") || !node->ns || !node->ns->href
        || !xmlStrstr(node->ns->href, BAD_CAST "podcastindex.org/namespace"))
        return false;
    const std::string role = XmlNodes::attribute(const_cast<xmlNode *>(node), "role");
    return role.empty() || TextHelpers::lowerAscii(role) == "host";
}

// Who a channel or feed names as its author, for the items that name nobody: its author or
// creator (itunes:author, dc:creator, Atom's author), else its managing editor.
std::string channelAuthor(xmlNode *channel)
{
    std::string creator, host, editor;
    for (xmlNode *child = channel ? channel->children : nullptr; child; child = child->next) {
        if (XmlNodes::named(child, "author") || XmlNodes::named(child, "creator"))
            readAuthor(child, creator);
        else if (isHost(child) && host.empty())
            host = XmlNodes::text(child);
        else if (XmlNodes::named(child, "managingEditor") && editor.empty())
            editor = XmlNodes::text(child);
    }
    for (const std::string *name : {&creator, &host, &editor}) {
        if (!TextHelpers::trimmed(*name).empty())
            return TextHelpers::bounded(TextHelpers::trimmed(*name));
    }
    return {};
}

bool isMediaRss(const xmlNode *node)
{
    return node->ns && node->ns->href
           && xmlStrncmp(node->ns->href, BAD_CAST "http://search.yahoo.com/mrss", 28) == 0;
}

// Media RSS: <media:content> of an MP3, given by its type, or as audio of no other type; also
// inside a <media:group> of the same work's versions.
void readMedia(xmlNode *node, const LinkResolver &base, const std::function<void(std::string)> &add)
{
    if (!isMediaRss(node))
        return;
    if (XmlNodes::named(node, "group")) {
        for (xmlNode *child = node->children; child; child = child->next) {
            if (XmlNodes::named(child, "content"))
                readMedia(child, base, add);
        }
        return;
    }
    if (!XmlNodes::named(node, "content"))
        return;
    const std::string href = base.resolve(XmlNodes::attribute(node, "url"));
    const std::string type = XmlNodes::attribute(node, "type");
    const bool audio = XmlNodes::attribute(node, "medium") == "audio" && type.empty();
    if (isAudio(type) || audio || WebLink::isMp3(href))
        add(href);
}

// One RSS item or Atom entry; channelCreator names the tracks of an item that names nobody.
void readItem(xmlNode *item, const LinkResolver &base, PageLinks &links,
              std::unordered_set<std::string> &seen, const std::string &channelCreator)
{
    if (links.tracks.size() >= PageLinks::maxTracks)
        return;
    std::string title, creator, host;
    std::vector<std::string> urls;
    const std::function<void(std::string)> add = [&urls](std::string href) {
        if (!href.empty())
            urls.push_back(std::move(href));
    };
    for (xmlNode *child = item->children; child; child = child->next) {
        if (child->type != XML_ELEMENT_NODE)
            continue;
        if (XmlNodes::named(child, "title")) {
            title = XmlNodes::text(child);
        } else if (XmlNodes::named(child, "author") || XmlNodes::named(child, "creator")) {
            readAuthor(child, creator);
        } else if (isHost(child)) {
            if (host.empty())
                host = XmlNodes::text(child);
        } else if (XmlNodes::named(child, "enclosure")) {
            const std::string href = base.resolve(XmlNodes::attribute(child, "url"));
            if (isAudio(XmlNodes::attribute(child, "type")) || WebLink::isMp3(href))
                add(href);
        } else if (isMediaRss(child)) {
            readMedia(child, base, add);
        } else if (XmlNodes::named(child, "link")) {
            // Atom: <link rel="enclosure" type="audio/mpeg" href="..."/>; RSS: <link>url</link>.
            const std::string href = XmlNodes::attribute(child, "href");
            const std::string resolved = base.resolve(href.empty() ? XmlNodes::text(child) : href);
            const bool enclosure = XmlNodes::attribute(child, "rel") == "enclosure";
            if ((enclosure && isAudio(XmlNodes::attribute(child, "type")))
                || WebLink::isMp3(resolved))
                add(resolved);
        }
    }
    // Every enclosure of the item gets a copy of these: bound them once, here.
    if (TextHelpers::trimmed(creator).empty())
        creator = host; // its host speaks for an item that names no author
    const std::string keptTitle = TextHelpers::bounded(title);
    const std::string keptCreator
        = TextHelpers::trimmed(creator).empty() ? channelCreator : TextHelpers::bounded(creator);
    size_t kept = 0;
    for (const auto &url : urls) {
        if (kept == PageLinks::maxItemTracks || links.tracks.size() >= PageLinks::maxTracks)
            break;
        if (seen.insert(url).second) {
            links.tracks.push_back({url, keptTitle, keptCreator, {}});
            ++kept;
        }
    }
}

// What went wrong while libxml2 read a feed: the first error and whether an entity's
// expansion went past libxml2's limits.
struct ParseErrors
{
    int firstLine = 0;
    bool entityLimit = false;
};

void recordError(void *context, xmlErrorPtr error)
{
    auto *errors = static_cast<ParseErrors *>(static_cast<xmlParserCtxtPtr>(context)->_private);
    if (!errors || !error)
        return;
    if (!errors->firstLine)
        errors->firstLine = std::max(1, error->line);
    errors->entityLimit |= error->code == XML_ERR_ENTITY_LOOP;
}

// Declares the entities a feed defines in its own document; an external one (a file or an
// address) is left undeclared, so nothing outside the feed is ever read and a reference to
// it is an error like any undefined entity.
void internalEntityOnly(void *context, const xmlChar *name, int type, const xmlChar *publicId,
                        const xmlChar *systemId, xmlChar *content)
{
    if (type == XML_INTERNAL_GENERAL_ENTITY || type == XML_INTERNAL_PARAMETER_ENTITY)
        xmlSAX2EntityDecl(context, name, type, publicId, systemId, content);
}

// A sitemap (urlset) or sitemap index: its MP3s as tracks, and its other addresses on the
// sitemap's own host (as the protocol requires) as pages, further sitemaps among them.
void readSitemap(xmlNode *root, const std::string &url, const LinkResolver &base, PageLinks &links)
{
    const std::string host = WebLink::host(url);
    std::unordered_set<std::string> seen;
    for (xmlNode *entry = root->children; entry; entry = entry->next) {
        if (!XmlNodes::named(entry, "url") && !XmlNodes::named(entry, "sitemap"))
            continue;
        const std::string loc = base.resolve(XmlNodes::text(XmlNodes::child(entry, "loc")));
        if (loc.empty() || !seen.insert(loc).second)
            continue;
        if (WebLink::isMp3(loc)) {
            if (links.tracks.size() < PageLinks::maxTracks)
                links.tracks.push_back({loc, {}, {}, {}});
        } else if (WebLink::host(loc) == host && links.pages.size() < PageLinks::maxPages) {
            links.pages.push_back(loc);
        }
        if (links.tracks.size() >= PageLinks::maxTracks
            && links.pages.size() >= PageLinks::maxPages)
            break;
    }
}

struct ContextDeleter
{
    void operator()(xmlParserCtxt *context) const { xmlFreeParserCtxt(context); }
};

} // namespace

PageLinks FeedLinks::read(std::string_view body, const std::string &url)
{
    PageLinks links;
    if (body.empty() || body.size() > size_t(INT_MAX))
        return links;
    std::unique_ptr<xmlParserCtxt, ContextDeleter> context(xmlNewParserCtxt());
    if (!context)
        return links;
    ParseErrors errors;
    context->_private = &errors;
    context->sax->serror = recordError;
    context->sax->entityDecl = internalEntityOnly;
    // Entities are replaced as the feed is read, within libxml2's bounds on how far they may
    // expand (no XML_PARSE_HUGE); no external subset is loaded and no address fetched.
    const int options = XML_PARSE_NONET | XML_PARSE_NOENT | XML_PARSE_NOERROR | XML_PARSE_NOWARNING
                        | XML_PARSE_NOCDATA | XML_PARSE_RECOVER;
    XmlNodes::Document document(xmlCtxtReadMemory(context.get(), body.data(), int(body.size()),
                                                  url.c_str(), nullptr, options));
    if (errors.entityLimit) {
        links.why = "entity limit";
        return links;
    }
    const auto failed = [&links, &errors] {
        if (links.tracks.empty() && errors.firstLine)
            links.why = "parse error at line " + std::to_string(errors.firstLine);
        return links;
    };
    if (!document)
        return failed();
    xmlNode *root = xmlDocGetRootElement(document.get());
    if (!root)
        return failed();
    std::unordered_set<std::string> seen;
    const LinkResolver base(url);
    // RSS: rss/channel/item; Atom: feed/entry. Items sit at a fixed depth, so no walk.
    if (XmlNodes::named(root, "rss") || XmlNodes::named(root, "RDF")) {
        // RSS 1.0 puts its items beside the channel rather than in it.
        const std::string rootCreator = channelAuthor(XmlNodes::child(root, "channel"));
        for (xmlNode *channel = root->children; channel; channel = channel->next) {
            if (XmlNodes::named(channel, "item"))
                readItem(channel, base, links, seen, rootCreator);
            if (!XmlNodes::named(channel, "channel"))
                continue;
            const std::string channelCreator = channelAuthor(channel);
            for (xmlNode *item = channel->children; item; item = item->next) {
                if (XmlNodes::named(item, "item"))
                    readItem(item, base, links, seen, channelCreator);
            }
        }
    } else if (XmlNodes::named(root, "feed")) {
        const std::string feedCreator = channelAuthor(root);
        for (xmlNode *entry = root->children; entry; entry = entry->next) {
            if (XmlNodes::named(entry, "entry"))
                readItem(entry, base, links, seen, feedCreator);
        }
    } else if (XmlNodes::named(root, "urlset") || XmlNodes::named(root, "sitemapindex")) {
        readSitemap(root, url, base, links);
    } else {
        links.why = "not a feed";
        return links;
    }
    return failed();
}

} // namespace catalog
