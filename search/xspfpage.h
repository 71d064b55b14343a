#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// One reply of the search service read as an XSPF playlist page, without any network or
// track objects: the root element's name, its paging attributes and the decoded values of the
// tracks the page stands for.
class XspfPage
{
public:
    struct Track
    {
        QString title;
        QString creator;
        QString location;
    };

    // Reads body. A body that is no XML document gives isDocument() false; any root element is
    // read, the caller decides what a root other than "playlist" means. An attribute that is
    // absent or not a decimal integer reads 0. tracks() holds end - start + 1 entries, at most
    // maxTracks and none when that is negative, from the "track" elements in document order; a
    // position past the last element gives empty values.
    static XspfPage parse(const QByteArray &body, int maxTracks);

    // Title, creator and location decoding: "\x" escapes and percent escapes are byte escapes
    // of UTF-8 text.
    static QString decodeValue(const QString &value);

    bool isDocument() const { return m_document; }
    QString rootName() const { return m_rootName; }
    int total() const { return m_total; }
    int start() const { return m_start; }
    int end() const { return m_end; }
    int next() const { return m_next; }
    int prev() const { return m_prev; }
    // end - start + 1 bounded to 0..maxTracks, the number of entries in tracks().
    int count() const { return int(m_tracks.size()); }
    const QList<Track> &tracks() const { return m_tracks; }

private:
    bool m_document = false;
    QString m_rootName;
    int m_total = 0;
    int m_start = 0;
    int m_end = 0;
    int m_next = 0;
    int m_prev = 0;
    QList<Track> m_tracks;
};
