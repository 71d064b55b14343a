#include "searcher.h"

#include "song.h"
#include "xspfpage.h"

#include <QMovie>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTime>
#include <QTimer>
#include <QWidget>

#include <cstdlib>

namespace {

// Qt turns an HTTP error status into a content or server error; such a reply still carries a
// body, which is read like any other (a 404 page is no playlist and gives the news text).
bool isHttpStatusError(const QNetworkReply *reply)
{
    if (!reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid())
        return false;
    // 400 and 418 read as ProtocolInvalidOperationError, 407 as a proxy error.
    const int code = reply->error();
    return (code >= QNetworkReply::ContentAccessDenied
            && code <= QNetworkReply::UnknownContentError)
           || (code >= QNetworkReply::InternalServerError
               && code <= QNetworkReply::UnknownServerError)
           || code == QNetworkReply::ProtocolInvalidOperationError
           || code == QNetworkReply::ProxyAuthenticationRequiredError;
}

} // namespace

Searcher::Searcher(QList<Song *> *songs, QWidget *searchingLabel, QMovie *loaderMovie,
                   QWidget *refineHint, QString *musicFolder, QNetworkAccessManager *network,
                   QNetworkAccessManager *transferNetwork, const QUrl &serviceUrl)
    : songs(songs)
    , searchingLabel(searchingLabel)
    , loaderMovie(loaderMovie)
    , refineHint(refineHint)
    , musicFolder(musicFolder)
    , network(network)
    , transferNetwork(transferNetwork)
    , serviceUrl(serviceUrl)
    , deadline(new QTimer(this))
{
    deadline->setSingleShot(true);
    connect(deadline, &QTimer::timeout, this, [this] {
        if (!reply)
            return;
        replyOverdue = true;
        reply->abort(); // finishes the reply through replyFinished() at once
    });
}

Searcher::~Searcher()
{
    endReply();
}

QUrl Searcher::requestUrl(int start) const
{
    // The identifier only has to look random to the service; one seed per second is enough.
    std::srand(QTime::currentTime().toString(QStringLiteral("hhmmss")).toUInt());
    QString identifier;
    while (identifier.size() <= 39) {
        const int c = std::rand() % 36;
        identifier += c < 10 ? QChar('0' + c) : QChar('a' + (c - 10));
    }

    const QString base = serviceUrl.toString(QUrl::FullyEncoded | QUrl::StripTrailingSlash
                                             | QUrl::RemoveQuery | QUrl::RemoveFragment);
    const QString text = base + QStringLiteral("/api/v0.2/") + identifier
                         + QStringLiteral("/music/search/")
                         + (currentQuery ? *currentQuery : QString())
                         + QStringLiteral("/%1/%2").arg(start).arg(PageSize);
    return QUrl::fromEncoded(text.toUtf8());
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

    QNetworkRequest request(requestUrl(start));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    request.setTransferTimeout(m_transferTimeout);
    reply = network->get(request);
    connect(reply, &QNetworkReply::readyRead, this, &Searcher::replyDataArrived);
    connect(reply, &QNetworkReply::finished, this, &Searcher::replyFinished);
    replyOverdue = false;
    deadline->start(m_requestDeadline);
}

void Searcher::endReply()
{
    deadline->stop();
    if (!reply)
        return;
    QNetworkReply *old = reply;
    reply = nullptr;
    // abort() emits finished() before it returns; nothing of ours may hear it.
    disconnect(old, nullptr, this, nullptr);
    old->abort();
    old->deleteLater();
}

void Searcher::replyDataArrived()
{
    if (sender() != reply || replyTooLarge)
        return;
    if (replyBuffer.size() + reply->bytesAvailable() > MaxReplySize) {
        replyTooLarge = true;
        replyBuffer.clear();
        replyBuffer.squeeze();
        reply->abort(); // finishes the reply through replyFinished() at once
        return;
    }
    replyBuffer += reply->readAll();
}

void Searcher::replyFinished()
{
    QNetworkReply *finished = reply;
    if (sender() != finished)
        return;
    reply = nullptr;
    deadline->stop();
    disconnect(finished, nullptr, this, nullptr);
    finished->deleteLater();

    if (!replyTooLarge && finished->isOpen()) {
        if (replyBuffer.size() + finished->bytesAvailable() > MaxReplySize) {
            replyTooLarge = true;
            replyBuffer.clear();
        } else {
            replyBuffer += finished->readAll();
        }
    }

    bool error = false;
    if (!replyTooLarge && finished->error() != QNetworkReply::NoError
        && !isHttpStatusError(finished)) {
        error = true;
        m_message = replyOverdue ? tr("the search service took too long to answer")
                                 : finished->errorString();
    }
    searchDone(error);
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
        auto *song = new Song(track.title, track.creator, track.location, musicFolder, network,
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
