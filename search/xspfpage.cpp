#include "xspfpage.h"

#include <QDomDocument>
#include <QDomElement>
#include <QDomNodeList>
#include <QUrl>
#include <QXmlStreamReader>

namespace {

int decimalAttribute(const QDomElement &element, const QString &name)
{
    bool ok = false;
    const int value = element.attribute(name).toInt(&ok, 10);
    return ok ? value : 0;
}

// Qt's DOM builder takes time quadratic in the nesting depth: 200 000 levels (1.4 MB) hold the
// GUI thread for minutes. A playlist is four levels deep; the stream reader checks in linear
// time.
constexpr int MaxDepth = 64;

bool nestedWithin(const QByteArray &body, int maxDepth)
{
    QXmlStreamReader reader(body);
    int depth = 0;
    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (token == QXmlStreamReader::StartElement && ++depth > maxDepth)
            return false;
        if (token == QXmlStreamReader::EndElement)
            --depth;
    }
    return true;
}

} // namespace

XspfPage XspfPage::parse(const QByteArray &body, int maxTracks)
{
    XspfPage page;
    QDomDocument document;
    if (!nestedWithin(body, MaxDepth) || !document.setContent(body, false))
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
