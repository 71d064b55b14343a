#include "song.h"

#include "curlnetwork.h"
#include "curlreply.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QProgressBar>
#include <QTemporaryFile>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Downloads are written beside their final place under this hidden name, then renamed.
constexpr const char *partFileTemplate = "/.larkspin-XXXXXX.part";

constexpr int CheckTimeout = 30000;
constexpr qint64 ChunkSize = 256 * 1024;
// Longest file name Linux file systems take, in bytes.
constexpr int MaxNameBytes = 255;

// The mode open() would give a new file under the user's umask. A temporary file is made
// private (0600), and a saved track must not keep that: other accounts and services read it.
mode_t newFileMode()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        while (!status.atEnd()) {
            const QByteArray line = status.readLine();
            if (line.startsWith("Umask:")) {
                bool ok = false;
                const uint mask = line.mid(6).trimmed().toUInt(&ok, 8);
                if (ok)
                    return 0666 & ~mode_t(mask);
            }
        }
    }
    // Kernels before 4.7 do not show it; reading it means setting it for a moment.
    const mode_t mask = ::umask(022);
    ::umask(mask);
    return 0666 & ~mask;
}

bool giveNewFileMode(QFileDevice &file)
{
    if (file.handle() >= 0)
        return ::fchmod(file.handle(), newFileMode()) == 0;
    return ::chmod(QFile::encodeName(file.fileName()).constData(), newFileMode()) == 0;
}

bool isSuccess(int status)
{
    return status >= 200 && status < 300;
}

// "bytes first-last/length" of a Content-Range; false unless it names a range.
bool parseContentRange(const QByteArray &value, qint64 *first, qint64 *length)
{
    const QByteArray text = value.trimmed();
    if (!text.startsWith("bytes "))
        return false;
    const int dash = text.indexOf('-');
    const int slash = text.indexOf('/');
    if (dash < 0 || slash < dash)
        return false;
    bool ok = false;
    *first = text.mid(6, dash - 6).trimmed().toLongLong(&ok);
    if (!ok)
        return false;
    const QByteArray whole = text.mid(slash + 1).trimmed();
    *length = whole == "*" ? -1 : whole.toLongLong(&ok);
    return ok || whole == "*";
}

// Moves a complete file into place without ever replacing a file of that name.
bool moveWithoutReplacing(const QString &from, const QString &to, bool *targetExists)
{
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
    *targetExists = false;
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE)
        == 0)
        return true;
    if (errno == EEXIST) {
        *targetExists = true;
        return false;
    }
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // File systems without RENAME_NOREPLACE: a hard link fails just as well on a taken name.
    if (::link(source.constData(), target.constData()) != 0) {
        *targetExists = errno == EEXIST;
        return false;
    }
    ::unlink(source.constData());
    return true;
}

} // namespace

Song::Song(const QString &title, const QString &creator, const QString &location,
           const QString *musicFolder, CurlNetwork *checkNetwork, CurlNetwork *transferNetwork)
    : m_title(title)
    , m_creator(creator)
    , m_location(location)
    , musicFolder(musicFolder)
    , url(location)
    , checkNetwork(checkNetwork)
    , transferNetwork(transferNetwork)
{
    if (location.isEmpty() || url.host().isEmpty() || !checkNetwork) {
        // The search client connects validation() only after the constructor returns.
        QMetaObject::invokeMethod(this, &Song::failCheck, Qt::QueuedConnection);
        return;
    }
    checkReply = checkNetwork->head(trackAddress(url), {}, CheckTimeout);
    connect(checkReply, &CurlReply::headersReceived, this, &Song::responseHeaderReceived);
    connect(checkReply, &CurlReply::finished, this, &Song::checkIsDone);
}

Song::~Song()
{
    // Aborting makes a reply report its end at once: cut it off from this object first.
    releaseCheck();
    releaseTransfer();
}

bool Song::transferRunning() const
{
    return transfer || (retryTimer && retryTimer->isActive());
}

void Song::listen()
{
    if (transferRunning() && downloadPending) {
        // The download's transfer already fills a file from its first byte: play that one.
        listening = true;
        announceEnd = true;
    } else {
        retireTransferFile();
        startTransfer(false);
        listening = true;
        announceEnd = true;
    }
    // The player stops what it played before, possibly this very track, from inside
    // startPlay(); that stop concerns the playback listen() has just replaced.
    emittingStartPlay = true;
    QPointer<Song> self(this);
    emit startPlay(transferFile, this);
    if (self)
        emittingStartPlay = false;
}

void Song::stopListening()
{
    if (emittingStartPlay)
        return;
    announceEnd = false;
    if (downloadPending)
        return;
    listening = false;
    releaseTransfer();
    if (transferFile)
        transferFile->close();
}

void Song::download(QProgressBar *bar, int pos)
{
    progressBar = bar;
    rowIndex = pos;
    downloadPending = true;
    if (transferRunning())
        return;
    retireTransferFile();
    startTransfer(true);
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

QString Song::musicFileName(const QString &creator, const QString &title)
{
    QString name;
    if (!creator.isEmpty())
        name = cleanFileName(creator) + QLatin1String(" - ");
    name += cleanFileName(title) + QLatin1String(".mp3");
    if (name.contains(QChar(0)) || QFile::encodeName(name).size() > MaxNameBytes)
        return QString();
    return name;
}

QByteArray Song::trackAddress(const QUrl &url)
{
    QUrl origin;
    origin.setScheme(url.scheme());
    origin.setHost(url.host());
    origin.setPort(url.port());
    return origin.toEncoded() + QUrl::toPercentEncoding(url.path(QUrl::FullyDecoded), "/");
}

void Song::responseHeaderReceived()
{
    if (checkDone || !checkReply)
        return;
    const int code = checkReply->status();
    if (checkByGet) {
        // The status is all the check needs: a body that comes with the GET is dropped.
        releaseCheck();
    } else {
        // A HEAD ends by itself, which keeps its connection for the next request.
        CurlReply *head = checkReply;
        checkReply = nullptr;
        disconnect(head, nullptr, this, nullptr);
        connect(head, &CurlReply::finished, head, &QObject::deleteLater);
    }
    if (!checkByGet && (code == 405 || code == 501)) {
        // A server that will not answer HEAD is asked for the first byte instead.
        checkByGet = true;
        checkReply = checkNetwork->get(
            trackAddress(url), {"Range: bytes=0-0", "Accept-Encoding: identity"}, CheckTimeout);
        connect(checkReply, &CurlReply::headersReceived, this, &Song::responseHeaderReceived);
        connect(checkReply, &CurlReply::finished, this, &Song::checkIsDone);
        return;
    }
    checkDone = true;
    available = code == 200 || (checkByGet && code == 206);
    emit validation(!available);
}

void Song::checkIsDone()
{
    if (checkDone)
        return;
    checkDone = true;
    available = false;
    releaseCheck();
    emit validation(true);
}

void Song::failCheck()
{
    if (checkDone)
        return;
    checkDone = true;
    available = false;
    emit validation(true);
}

void Song::releaseReply(QPointer<CurlReply> &slot)
{
    CurlReply *reply = slot;
    slot = nullptr;
    if (!reply)
        return;
    disconnect(reply, nullptr, this, nullptr);
    reply->abort();
    // It may be the one whose signal is being delivered.
    reply->deleteLater();
}

void Song::releaseCheck()
{
    releaseReply(checkReply);
}

void Song::startTransfer(bool intoMusicFolder)
{
    transferFile = nullptr;
    transferInMusicFolder = false;
    if (intoMusicFolder && musicFolder && !musicFolder->isEmpty()) {
        // Received straight beside its final place, under a hidden name, so that saving it is
        // a rename rather than a copy.
        transferFile = new QTemporaryFile(*musicFolder + QLatin1String(partFileTemplate), this);
        transferInMusicFolder = transferFile->open();
        if (!transferInMusicFolder) {
            delete transferFile;
            transferFile = nullptr;
        }
    }
    if (!transferFile) {
        transferFile = new QTemporaryFile(this);
        transferFile->open();
    }
    writeFailed = false;
    if (!transferNetwork || url.host().isEmpty()) {
        // Fails like an unreachable host, through the event loop as a transfer would.
        QMetaObject::invokeMethod(
            this,
            [this] {
                const bool wasListening = listening;
                const bool hadDownload = downloadPending;
                QPointer<Song> self(this);
                if (wasListening)
                    listenDone(true);
                if (self && hadDownload)
                    downloadDone(true);
            },
            Qt::QueuedConnection);
        return;
    }
    received = 0;
    retries = 0;
    validator.clear();
    wholeLength = -1;
    requestTransfer();
}

// The first request of a transfer, or its resumption from the bytes the file holds.
void Song::requestTransfer()
{
    // The body is saved byte for byte; MP3 gains nothing from compression anyway.
    QList<QByteArray> headers{"Accept-Encoding: identity"};
    resumedAt = received;
    replyFits = true;
    if (resumedAt > 0) {
        headers << "Range: bytes=" + QByteArray::number(resumedAt) + '-';
        if (!validator.isEmpty())
            headers << "If-Range: " + validator;
    }
    transfer = transferNetwork->get(trackAddress(url), headers, stallTimeout);
    // Every arrival of data counts as a progress report.
    connect(transfer, &CurlReply::headersReceived, this, &Song::transferHeaders);
    connect(transfer, &CurlReply::readyRead, this, &Song::transferProgress);
    connect(transfer, &CurlReply::finished, this, &Song::transferFinished);
}

void Song::transferHeaders()
{
    const int status = transfer->status();
    if (resumedAt > 0 && status == 206) {
        qint64 first = -1;
        qint64 whole = -1;
        replyFits = parseContentRange(transfer->rawHeader("Content-Range"), &first, &whole)
                    && first == resumedAt && (wholeLength < 0 || whole < 0 || whole == wholeLength);
        return;
    }
    if (status != 200) {
        // An error status of a resumption: the bytes so far stay out of its way.
        replyFits = resumedAt == 0;
        return;
    }
    if (resumedAt > 0) {
        // The whole track again (it changed, or the server takes no ranges): start over.
        transferFile->resize(0);
        transferFile->seek(0);
        received = 0;
        resumedAt = 0;
    }
    const QByteArray etag = transfer->rawHeader("ETag");
    validator
        = !etag.isEmpty() && !etag.startsWith("W/") ? etag : transfer->rawHeader("Last-Modified");
    wholeLength = transfer->contentLength();
}

void Song::releaseTransfer()
{
    if (retryTimer)
        retryTimer->stop();
    releaseReply(transfer);
}

void Song::retireTransferFile()
{
    releaseTransfer();
    delete earlierFile;
    earlierFile = transferFile;
    transferFile = nullptr;
    if (earlierFile)
        earlierFile->close();
}

void Song::drainTransfer()
{
    if (!transfer || !transferFile)
        return;
    char buffer[64 * 1024];
    for (;;) {
        const qint64 n = transfer->read(buffer, sizeof buffer);
        if (n <= 0)
            break;
        if (!replyFits)
            continue;
        received += n;
        if (transferFile->write(buffer, n) != n)
            writeFailed = true;
    }
    // The player reads the file through a handle of its own.
    if (!transferFile->flush())
        writeFailed = true;
}

void Song::transferProgress()
{
    if (!transfer)
        return;
    drainTransfer();
    const qint64 length = transfer->contentLength();
    const qint64 total = length >= 0 ? resumedAt + length : 0;
    const qint64 value = received;
    if (listening) {
        QPointer<Song> self(this);
        listenMore(value, total);
        if (!self)
            return;
    }
    if (downloadPending)
        updateProgress(value, total);
}

void Song::transferFinished()
{
    CurlReply *reply = transfer;
    if (!reply)
        return;
    drainTransfer();
    // A failure of the connection itself (refused, closed early, stalled), not an HTTP status.
    const bool networkFailure = reply->error() != CurlReply::NoError;
    const int status = reply->status();
    // A body that ends short of the length its answer announced is cut, however the
    // connection's end was reported: never a whole track.
    const bool cutShort
        = !networkFailure && replyFits && wholeLength >= 0 && received < wholeLength;
    const bool failed = networkFailure || !replyFits || cutShort;
    releaseTransfer();
    if ((networkFailure || cutShort) && replyFits && !writeFailed && retries < transferTries
        && (status == 0 || isSuccess(status))) {
        if (!retryTimer) {
            retryTimer = new QTimer(this);
            retryTimer->setSingleShot(true);
            connect(retryTimer, &QTimer::timeout, this, &Song::requestTransfer);
        }
        retryTimer->start(resumeDelay << retries);
        ++retries;
        return;
    }

    const bool wasListening = listening;
    const bool hadDownload = downloadPending;
    QPointer<Song> self(this);
    if (wasListening) {
        listenDone(failed);
        if (!self)
            return;
    }
    // An error page is no track.
    if (hadDownload)
        downloadDone(failed || !isSuccess(status));
}

void Song::listenDone(bool error)
{
    Q_UNUSED(error); // the player plays whatever the file holds
    listening = false;
    if (announceEnd)
        emit endPlay();
}

void Song::listenMore(qint64 value, qint64 total)
{
    if (value >= total * 0.05)
        emit morePlay();
}

void Song::updateProgress(qint64 value, qint64 total)
{
    if (!progressBar)
        return;
    // A bar counts in int.
    while (total > INT_MAX || value > INT_MAX) {
        total /= 1024;
        value /= 1024;
    }
    progressBar->setMaximum(int(total));
    progressBar->setValue(int(value));
}

void Song::downloadDone(bool error)
{
    const int code = error ? int(NotAvailable) : saveToMusicFolder();
    if (code == Copying)
        return;
    finishDownload(code);
}

void Song::finishDownload(int code)
{
    downloadPending = false;
    if (transferFile) {
        transferFile->close();
        // Nothing but complete tracks stays in the music folder.
        if (transferInMusicFolder && code != Downloaded)
            transferFile->remove();
    }
    emit downloadReady(rowIndex, code);
}

// Copies a complete listening file into the music folder under a hidden name beside its place,
// so that the folder never shows a partial file, then moves it into place. Any thread.
int Song::copyIntoFolder(const QString &from, const QString &folder, const QString &target)
{
    QTemporaryFile copy(folder + QLatin1String(partFileTemplate));
    if (!copy.open())
        return BadFilename;
    QFile source(from);
    if (!source.open(QIODevice::ReadOnly))
        return BadFilename;
    QByteArray buffer(ChunkSize, Qt::Uninitialized);
    for (;;) {
        const qint64 n = source.read(buffer.data(), buffer.size());
        if (n < 0)
            return BadFilename;
        if (n == 0)
            break;
        if (copy.write(buffer.constData(), n) != n)
            return BadFilename;
    }
    if (!copy.flush() || !giveNewFileMode(copy))
        return BadFilename;
    copy.close();
    bool exists = false;
    if (!moveWithoutReplacing(copy.fileName(), target, &exists))
        return exists ? FileExists : BadFilename;
    copy.setAutoRemove(false);
    return Downloaded;
}

int Song::saveToMusicFolder()
{
    if (!transferFile || writeFailed || !musicFolder || musicFolder->isEmpty())
        return BadFilename;
    const QString name = musicFileName(m_creator, m_title);
    if (name.isEmpty())
        return BadFilename;
    const QString target = *musicFolder + QLatin1Char('/') + name;

    struct stat st;
    if (::lstat(QFile::encodeName(target).constData(), &st) == 0)
        return FileExists;

    bool exists = false;
    if (transferInMusicFolder) {
        if (!giveNewFileMode(*transferFile))
            return BadFilename;
        transferFile->close();
        if (!moveWithoutReplacing(transferFile->fileName(), target, &exists))
            return exists ? FileExists : BadFilename;
        transferFile->setAutoRemove(false);
        transferInMusicFolder = false;
        return Downloaded;
    }

    // The listening file, which the player may still read, gets a second name in the folder
    // when both lie on one file system: no copy at all.
    if (!transferFile->flush())
        return BadFilename;
    const QByteArray source = QFile::encodeName(transferFile->fileName());
    const QByteArray link = QFile::encodeName(target);
    if (::link(source.constData(), link.constData()) == 0) {
        if (::chmod(link.constData(), newFileMode()) != 0) {
            ::unlink(link.constData());
            return BadFilename;
        }
        return Downloaded;
    }
    if (errno == EEXIST)
        return FileExists;
    // Elsewhere it is copied, on a pool thread: a track is too large to copy on this one.
    if (!copier) {
        copier = new QFutureWatcher<int>(this);
        connect(copier, &QFutureWatcher<int>::finished, this,
                [this] { finishDownload(copier->result()); });
    }
    copier->setFuture(
        QtConcurrent::run(&Song::copyIntoFolder, transferFile->fileName(), *musicFolder, target));
    return Copying;
}

void Song::removeStalePartFiles(const QString &folder)
{
    if (folder.isEmpty())
        return;
    QDir dir(folder);
    const QDateTime dayAgo = QDateTime::currentDateTimeUtc().addDays(-1);
    const QFileInfoList parts
        = dir.entryInfoList({QStringLiteral(".larkspin-*.part")}, QDir::Files | QDir::Hidden);
    for (const QFileInfo &part : parts) {
        if (part.lastModified().toUTC() < dayAgo)
            QFile::remove(part.absoluteFilePath());
    }
}
