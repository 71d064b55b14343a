#include "linkscheck.h"

#include "fuzzcheck.h"

#include "feedlinks.h"
#include "htmllinks.h"
#include "linkresolver.h"
#include "playlistlinks.h"
#include "remotetrack.h"
#include "texthelpers.h"
#include "weblink.h"

#include <algorithm>
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
    if (data[0] == 0xFE) {
        // A base address on the first line, a reference after it: the resolver's shortcut
        // must give what libcurl's parser gives.
        const size_t end = body.find('\n');
        if (end == std::string_view::npos)
            return;
        const LinkResolver resolver(std::string(body.substr(0, end)));
        const std::string_view reference = body.substr(end + 1);
        FUZZ_CHECK(resolver.resolve(reference) == resolver.parse(reference));
        return;
    }
    if (data[0] == 0xFF) {
        // The first and last bytes of a file a link called an MP3.
        const std::string_view head = body.substr(0, size_t(RemoteTrack::headBytes));
        const std::string_view tail = body.size() > head.size()
                                          ? body.substr(std::max(head.size(), body.size() - 128))
                                          : std::string_view();
        const int64_t audioAt = RemoteTrack::audioStart(head);
        const std::string_view audio
            = audioAt > 0 && size_t(audioAt) < body.size()
                  ? body.substr(size_t(audioAt), size_t(RemoteTrack::audioBytes))
                  : std::string_view();
        const auto track = RemoteTrack::read({"http://host.example/a%20b.mp3", {}, {}, {}}, head,
                                             tail, int64_t(body.size()), nullptr, audio, audioAt);
        if (track) {
            FUZZ_CHECK(TextHelpers::isValidUtf8(track->title));
            FUZZ_CHECK(TextHelpers::isValidUtf8(track->creator));
            FUZZ_CHECK(TextHelpers::isValidUtf8(track->album));
            FUZZ_CHECK(!track->title.empty());
            FUZZ_CHECK(track->durationMs >= 0);
        }
        return;
    }
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
    // A reason is given only for a page that gave no tracks.
    FUZZ_CHECK(links.why.empty() || links.tracks.empty());
    for (const auto &url : links.pages) {
        checkUrl(url);
        FUZZ_CHECK(WebLink::host(url) == "host.example");
    }
}
