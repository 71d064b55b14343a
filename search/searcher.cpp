#include "searcher.h"

#include "curlfetch.h"
#include "song.h"
#include "xspfpage.h"

#include <QMovie>
#include <QStringList>
#include <QTime>
#include <QTimer>
#include <QWidget>

#include <cstdlib>
#include <cstring>

Searcher::Searcher(QList<Song *> *songs, QWidget *searchingLabel, QMovie *loaderMovie,
                   QWidget *refineHint, QString *musicFolder, CurlNetwork *checkNetwork,
                   CurlNetwork *transferNetwork, const QUrl &serviceUrl)
    : songs(songs)
    , searchingLabel(searchingLabel)
    , loaderMovie(loaderMovie)
    , refineHint(refineHint)
    , musicFolder(musicFolder)
    , checkNetwork(checkNetwork)
    , transferNetwork(transferNetwork)
    , serviceUrl(serviceUrl)
    , fetch(new CurlFetch(this))
    , deadline(new QTimer(this))
{
    connect(fetch, &CurlFetch::finished, this, &Searcher::replyFinished);
    deadline->setSingleShot(true);
    connect(deadline, &QTimer::timeout, this, [this] {
        if (!fetch->isRunning())
            return;
        fetch->abort();
        m_message = tr("the search service took too long to answer");
        searchDone(true);
    });
}

Searcher::~Searcher()
{
    endReply();
}

QByteArray Searcher::requestUrl(int start) const
{
    // The identifier only has to look random to the service; one seed per second is enough.
    std::srand(QTime::currentTime().toString(QStringLiteral("hhmmss")).toUInt());
    QString identifier;
    while (identifier.size() <= 39) {
        const int c = std::rand() % 36;
        identifier += c < 10 ? QChar('0' + c) : QChar('a' + (c - 10));
    }

    // A segment "." or ".." would be removed on the way, with the one before it; escaped, it
    // reaches the service as typed.
    QStringList segments = (currentQuery ? *currentQuery : QString()).split(QLatin1Char('/'));
    for (QString &segment : segments) {
        if (segment == QLatin1String(".") || segment == QLatin1String(".."))
            segment.replace(QLatin1Char('.'), QLatin1String("%2E"));
    }
    // Escapes stay as they are; only what cannot stand in a path is escaped here.
    QByteArray query;
    for (const char c : segments.join(QLatin1Char('/')).toUtf8()) {
        const auto byte = uchar(c);
        if (byte <= ' ' || byte >= 0x7f || std::strchr("\"#<>?[\\]^`{|}", c))
            query += '%' + QByteArray::number(byte, 16).toUpper().rightJustified(2, '0');
        else
            query += c;
    }

    const QByteArray base
        = serviceUrl.toEncoded(QUrl::StripTrailingSlash | QUrl::RemoveQuery | QUrl::RemoveFragment);
    return base + "/api/v0.2/" + identifier.toLatin1() + "/music/search/" + query + '/'
           + QByteArray::number(start) + '/' + QByteArray::number(PageSize);
}

QString Searcher::decodeValue(const QString &value)
{
    return XspfPage::decodeValue(value);
}

void Searcher::newSearch(QString *currentQuery)
{
    if (searchingLabel)
        searchingLabel->show();
    if (loaderMovie)
        loaderMovie->start();
    if (refineHint)
        refineHint->hide();

    prevStart = 0;
    m_nextStart = 0;
    pageEnd = 0;
    this->currentQuery = currentQuery;
    pageStart = 0;
    m_total = 0;

    // Destroying a track ends its check; it sends no report afterwards. A download the user
    // started goes on to the music folder: the track stays, ours until it reports.
    while (!songs->isEmpty()) {
        Song *song = songs->takeFirst();
        if (!song->isDownloading()) {
            delete song;
            continue;
        }
        disconnect(song, nullptr, this, nullptr);
        song->setParent(this);
        // Its row is gone: a failure is told here, or nobody would hear of it.
        connect(song, &Song::downloadReady, this, [this, song](int, int error) {
            const QString track = song->creator().isEmpty()
                                      ? song->title()
                                      : tr("%1 by %2").arg(song->title(), song->creator());
            QString outcome;
            switch (error) {
            case Song::Downloaded:
                break;
            case Song::NoMp3File:
                outcome = tr("no mp3 file");
                break;
            case Song::BadFilename:
                outcome = tr("bad filename");
                break;
            case Song::FileExists:
                outcome = tr("file exists");
                break;
            default:
                outcome = tr("not available");
                break;
            }
            if (!outcome.isEmpty())
                emit handedOverDownloadFailed(tr("%1 was not saved: %2").arg(track, outcome));
        });
        connect(song, &Song::downloadReady, song, &QObject::deleteLater);
    }

    firstPage = true;
    search(0);
}

void Searcher::search(int start)
{
    m_requestPending = true;

    // Only the latest reply is read: an earlier one still running is ended first.
    endReply();
    replyBuffer.clear();
    replyTooLarge = false;

    fetch->get(requestUrl(start), MaxReplySize, m_transferTimeout);
    deadline->start(m_requestDeadline);
}

void Searcher::endReply()
{
    deadline->stop();
    fetch->abort();
}

void Searcher::replyFinished(const QString &error)
{
    deadline->stop();
    replyTooLarge = fetch->tooLarge();
    replyBuffer = fetch->takeBody();
    if (!error.isEmpty())
        m_message = error;
    searchDone(!error.isEmpty());
}

void Searcher::failureEnd(const QString &message)
{
    m_message = message;
    replyBuffer.clear();
    // Cleared before the signal: its receiver may already ask for the next request.
    m_requestPending = false;
    emit queryDone(false);
}

QString Searcher::newsText() const
{
    return tr("please click link below for news and updates");
}

void Searcher::searchDone(bool error)
{
    if (error) {
        failureEnd(m_message);
        return;
    }

    if (replyTooLarge) {
        failureEnd(newsText());
        return;
    }
    const XspfPage page = XspfPage::parse(replyBuffer, PageSize);
    if (!page.isDocument()) {
        failureEnd(newsText());
        return;
    }
    replyBuffer.clear();
    replyBuffer.squeeze();

    if (page.rootName() == QLatin1String("root")) {
        failureEnd(newsText());
        return;
    }
    if (page.rootName() != QLatin1String("playlist")) {
        failureEnd(newsText());
        return;
    }

    if (firstPage) {
        m_expectedCount = 0;
        m_acceptedCount = 0;
        m_reportedCount = 0;
    }
    m_total = page.total();
    pageStart = page.start();
    pageEnd = page.end();
    m_nextStart = page.next();
    prevStart = page.prev();
    m_expectedCount += page.count();

    if (m_total == 0) {
        failureEnd(tr("search returned no results!"));
        return;
    }

    for (const XspfPage::Track &track : page.tracks()) {
        auto *song = new Song(track.title, track.creator, track.location, musicFolder, checkNetwork,
                              transferNetwork);
        connect(song, &Song::validation, this, &Searcher::validation);
        songs->append(song);
    }

    m_requestPending = false;
    if (firstPage) {
        firstPage = false;
        emit newSearchPerformed();
        emit queryDone(true);
    }
}

void Searcher::validation(bool failed)
{
    auto *song = qobject_cast<Song *>(sender());
    // A report from a track of an earlier search, or a second one, is not counted.
    if (!song || !songs->contains(song))
        return;
    disconnect(song, &Song::validation, this, &Searcher::validation);

    ++m_reportedCount;
    if (failed || m_acceptedCount >= MaxAccepted) {
        songs->removeOne(song);
        song->deleteLater(); // not before its own signal has been delivered
    } else {
        ++m_acceptedCount;
        emit addSong(song);
    }

    if ((m_nextStart == 0 && m_reportedCount == m_expectedCount)
        || m_acceptedCount >= MaxAccepted) {
        if (searchingLabel)
            searchingLabel->hide();
        if (loaderMovie)
            loaderMovie->stop();
        if (m_acceptedCount >= MaxAccepted && refineHint)
            refineHint->show();
    }

    if (!m_requestPending && m_acceptedCount < MaxAccepted
        && m_reportedCount > m_expectedCount * 0.8 && m_nextStart != 0)
        search(m_nextStart);
}
