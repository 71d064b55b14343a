#include "song.h"

#include <QFile>
#include <QMetaObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProgressBar>
#include <QTemporaryFile>

Song::Song(const QString &title, const QString &creator, const QString &location,
           const QString *musicFolder, QNetworkAccessManager *checkNetwork,
           QNetworkAccessManager *transferNetwork)
    : m_title(title)
    , m_creator(creator)
    , m_location(location)
    , musicFolder(musicFolder)
    , url(location)
{
    Q_UNUSED(checkNetwork);
    Q_UNUSED(transferNetwork);
    QMetaObject::invokeMethod(this, &Song::checkIsDone, Qt::QueuedConnection);
}

Song::~Song() = default;

void Song::listen() {}

void Song::stopListening() {}

void Song::download(QProgressBar *bar, int pos)
{
    Q_UNUSED(bar);
    emit downloadReady(pos, NotAvailable);
}

QString Song::cleanFileName(QString name)
{
    name.remove(QLatin1Char('\\'));
    name.replace(QLatin1Char('/'), QLatin1Char('-'));
    name.remove(QLatin1Char('?'));
    name.remove(QLatin1Char('!'));
    name.remove(QLatin1Char('*'));
    name.replace(QLatin1Char(':'), QLatin1Char('-'));
    name.replace(QLatin1Char('"'), QLatin1Char(' '));
    name.replace(QLatin1Char('\''), QLatin1Char(' '));
    name.replace(QLatin1Char('|'), QLatin1Char(' '));
    return name;
}

QNetworkRequest Song::trackRequest(const QUrl &url)
{
    return QNetworkRequest(url);
}

void Song::responseHeaderReceived() {}

void Song::checkIsDone()
{
    emit validation(true);
}

void Song::downloadDone(bool error)
{
    Q_UNUSED(error);
}

void Song::listenDone(bool error)
{
    Q_UNUSED(error);
}

void Song::updateProgress(qint64 value, qint64 total)
{
    Q_UNUSED(value);
    Q_UNUSED(total);
}

void Song::listenMore(qint64 value, qint64 total)
{
    Q_UNUSED(value);
    Q_UNUSED(total);
}
