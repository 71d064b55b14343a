#include "xspfcheck.h"

#include "fuzzcheck.h"

#include "catalogsearch.h"
#include "xspfpage.h"
#include "xspfwriter.h"

#include <QByteArray>
#include <QString>

#include <string>

namespace {

constexpr int PageSize = 50;

void readReply(const QByteArray &body)
{
    const XspfPage page = XspfPage::parse(body, PageSize);
    FUZZ_CHECK(page.count() >= 0 && page.count() <= PageSize);
    if (!page.isDocument()) {
        FUZZ_CHECK(page.count() == 0 && page.rootName().isEmpty());
        return;
    }
    const qint64 claimed = qint64(page.end()) - page.start() + 1;
    FUZZ_CHECK(page.count() == qBound(qint64(0), claimed, qint64(PageSize)));
}

// What the service writes for a track must read back as the same text.
void roundTrip(const std::string &text)
{
    catalog::SearchPage written;
    written.total = 7;
    catalog::TrackRecord track;
    track.id = 3;
    track.title = text;
    track.creator = text.substr(0, text.size() / 2);
    track.album = text;
    written.tracks.push_back(track);
    const std::string baseUrl = "http://127.0.0.1:8080";
    const std::string body = catalog::XspfWriter::write(written, 2, PageSize, baseUrl);

    const XspfPage page = XspfPage::parse(QByteArray::fromStdString(body), PageSize);
    FUZZ_CHECK(page.isDocument());
    FUZZ_CHECK(page.rootName() == QLatin1String("playlist"));
    FUZZ_CHECK(page.total() == 7 && page.start() == 2 && page.end() == 2);
    FUZZ_CHECK(page.count() == 1);
    const XspfPage::Track &read = page.tracks().first();
    FUZZ_CHECK(read.title == QString::fromStdString(track.title));
    FUZZ_CHECK(read.creator == QString::fromStdString(track.creator));
    FUZZ_CHECK(read.location
               == QString::fromStdString(catalog::XspfWriter::location(track, baseUrl)));
}

} // namespace

void XspfCheck::run(const uint8_t *data, size_t size)
{
    const auto *bytes = reinterpret_cast<const char *>(data);
    const QByteArray body(bytes, qsizetype(size));
    readReply(body);
    XspfPage::decodeValue(QString::fromUtf8(body));
    if (size <= 4096)
        roundTrip(std::string(bytes, size));
}
