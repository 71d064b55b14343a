#include "xspfpage.h"

#include <QDomDocument>
#include <QDomElement>
#include <QDomNodeList>
#include <QUrl>
#include <QXmlStreamReader>

#include <utility>

namespace {

int decimalAttribute(const QDomElement &element, const QString &name)
{
    bool ok = false;
    const int value = element.attribute(name).toInt(&ok, 10);
    return ok ? value : 0;
}

// Qt's DOM builder takes time quadratic in the nesting depth (200 000 levels, 1.4 MB, hold the
// GUI thread for minutes) and some hundred bytes of memory per node (an 8 MiB reply of empty
// elements takes 2 GB). A playlist is four levels deep and a page some 300 elements; the stream
// reader checks both bounds in linear time and constant memory before the DOM is built.
constexpr int MaxDepth = 64;
constexpr int MaxNodes = 20000;

bool shapeWithin(const QByteArray &body, int maxDepth, int maxNodes)
{
    QXmlStreamReader reader(body);
    int depth = 0;
    qint64 nodes = 0;
    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (token == QXmlStreamReader::StartElement) {
            nodes += 1 + reader.attributes().size();
            if (++depth > maxDepth || nodes > maxNodes)
                return false;
        } else if (token == QXmlStreamReader::EndElement) {
            --depth;
        }
    }
    return true;
}

// Qt's XML readers check every attribute of an element against the ones before it, so a tag
// of 40 000 attributes (400 kB) takes seconds, and one of megabytes takes minutes. A playlist's
// tags are a few bytes long; this byte scan bounds them before any XML reader runs.
constexpr int MaxTagBytes = 64 * 1024;

bool tagsWithin(const QByteArray &body, int maxTagBytes)
{
    const qsizetype size = body.size();
    qsizetype i = 0;
    while ((i = body.indexOf('<', i)) >= 0) {
        // Comments and character data are text, whatever quotes they hold.
        for (const auto &[open, close] :
             {std::pair<const char *, const char *>{"<!--", "-->"}, {"<![CDATA[", "]]>"}}) {
            if (body.mid(i, qsizetype(qstrlen(open))) == open) {
                const qsizetype closed = body.indexOf(close, i);
                i = closed < 0 ? size : closed;
                break;
            }
        }
        if (i >= size)
            break;
        const qsizetype tagStart = i;
        char quote = 0;
        for (++i; i < size; ++i) {
            if (i - tagStart > maxTagBytes)
                return false;
            const char c = body.at(i);
            if (quote) {
                if (c == quote)
                    quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '>') {
                break;
            }
        }
    }
    return true;
}

} // namespace

XspfPage XspfPage::parse(const QByteArray &body, int maxTracks)
{
    XspfPage page;
    QDomDocument document;
    if (!tagsWithin(body, MaxTagBytes) || !shapeWithin(body, MaxDepth, MaxNodes)
        || !document.setContent(body, false))
        return page;
    page.m_document = true;

    const QDomElement root = document.documentElement();
    page.m_rootName = root.tagName();
    page.m_total = decimalAttribute(root, QStringLiteral("total"));
    page.m_start = decimalAttribute(root, QStringLiteral("start"));
    page.m_end = decimalAttribute(root, QStringLiteral("end"));
    page.m_next = decimalAttribute(root, QStringLiteral("next"));
    page.m_prev = decimalAttribute(root, QStringLiteral("prev"));

    // The positions come from the reply, not from its track elements: a page claiming more
    // than it was asked for would otherwise make that many empty tracks.
    const int count
        = int(qBound(qint64(0), qint64(page.m_end) - page.m_start + 1, qint64(qMax(0, maxTracks))));
    const QDomNodeList elements = root.elementsByTagName(QStringLiteral("track"));
    page.m_tracks.reserve(count);
    for (int i = 0; i < count; ++i) {
        const QDomElement track = i < elements.size() ? elements.at(i).toElement() : QDomElement();
        Track values;
        values.title = decodeValue(track.firstChildElement(QStringLiteral("title")).text());
        values.creator = decodeValue(track.firstChildElement(QStringLiteral("creator")).text());
        values.location = decodeValue(track.firstChildElement(QStringLiteral("location")).text());
        page.m_tracks.append(values);
    }
    return page;
}

QString XspfPage::decodeValue(const QString &value)
{
    QString text = value;
    text.replace(QStringLiteral("\\x"), QStringLiteral("%"));
    return QUrl::fromPercentEncoding(text.toUtf8());
}
