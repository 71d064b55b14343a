#include "linkscheck.h"

#include "fuzzcheck.h"

#include "feedlinks.h"
#include "htmllinks.h"
#include "playlistlinks.h"
#include "weblink.h"

#include <string>
#include <string_view>

using namespace catalog;

namespace {

void checkUrl(const std::string &url)
{
    FUZZ_CHECK(url.compare(0, 7, "http://") == 0 || url.compare(0, 8, "https://") == 0);
    FUZZ_CHECK(url.size() <= WebLink::maxLength);
    FUZZ_CHECK(url.find('#') == std::string::npos);
    FUZZ_CHECK(!WebLink::host(url).empty());
}

} // namespace

void LinksCheck::run(const uint8_t *data, size_t size)
{
    // The first byte picks the reader; the rest is the document.
    if (size == 0)
        return;
    const std::string_view body(reinterpret_cast<const char *>(data) + 1, size - 1);
    const std::string page = "http://host.example/dir/page";
    PageLinks links;
    switch (data[0] % 4) {
    case 0:
        links = HtmlLinks::read(body, page, {});
        break;
    case 1:
        links = HtmlLinks::read(body, page, "ISO-8859-1");
        break;
    case 2:
        links = FeedLinks::read(body, page);
        break;
    default:
        links = PlaylistLinks::read(body, page);
        break;
    }
    for (const auto &track : links.tracks)
        checkUrl(track.url);
    for (const auto &url : links.pages) {
        checkUrl(url);
        FUZZ_CHECK(WebLink::host(url) == "host.example");
    }
}
