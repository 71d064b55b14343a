#include "brisaplayer.h"
#include "ui_brisaplayerclass.h"

#include "curlnetwork.h"
#include "cursorblinktimeout.h"
#include "emptyiconprovider.h"
#include "grafikpicture.h"
#include "musicfoldermodel.h"
#include "searcher.h"
#include "song.h"
#include "songlist.h"
#include "stopcallback.h"

#include "audiodevice.h"
#include "outputstream.h"
#include "samplesource.h"

#include <QAbstractButton>
#include <QApplication>
#include <QBuffer>
#include <QCursor>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLayout>
#include <QMouseEvent>
#include <QMovie>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QScrollArea>
#include <QScrollBar>
#include <QShortcut>
#include <QStandardPaths>
#include <QTemporaryFile>
#include <QTimer>

namespace {

constexpr int refreshInterval = 500;
constexpr int cursorBlinkTimeout = 10000;
constexpr int adTimeout = 30000;
// A hostile or broken advertisement server must not fill memory or the temp folder.
constexpr qint64 maxAdPictureBytes = 4 * 1024 * 1024;
constexpr qint64 maxAdTextBytes = 4096;

const char *const resultAreaSheet
    = "QScrollArea {background-color: white;}QScrollBar:vertical {border: 0px solid;width: "
      "10px;margin: 20px 0 20px 0;background-color: white;}QScrollBar::handle:vertical "
      "{background: #ea9d07;min-height: 20px;}QScrollBar::add-line:vertical {background: "
      "white;height: 20px;subcontrol-position: bottom;subcontrol-origin: "
      "margin;}QScrollBar::sub-line:vertical {background: white;height: 20px;subcontrol-position: "
      "top;subcontrol-origin: margin;}QScrollBar:up-arrow:vertical {width: 5px;height: 6px;image: "
      "url(:/grafik/up.png);}QScrollBar::down-arrow:vertical {width: 5px;height: 6px;image: "
      "url(:/grafik/down.png);}QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical "
      "{background: none;}QScrollArea {border: 0px solid;}";

} // namespace

BrisaPlayer::BrisaPlayer(const ServerConfig &servers, QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint | Qt::WindowSystemMenuHint)
    , servers(servers)
    , ui(new Ui::BrisaPlayerClass)
{
    ui->setupUi(this);
    ui->content->layout()->setSpacing(0);
    // The form's labels take plain pixmaps: give them the drawing made for this screen.
    const qreal ratio = devicePixelRatio();
    ui->background->setPixmap(GrafikPicture::pixmap(QStringLiteral(":/grafik/player.png"), ratio));
    ui->logo->setPixmap(GrafikPicture::pixmap(QStringLiteral(":/grafik/exe.png"), ratio));

    loaderMovie = new QMovie(GrafikPicture::fileName(QStringLiteral(":/grafik/loader.gif"), ratio));
    ui->stillSearchingLabel->hide();
    ui->stillSearchingLabel->setMovie(loaderMovie);

    musicFolder = lookUpMusicFolder();
    ui->musicDir->setText(musicFolder);
    Song::removeStalePartFiles(musicFolder);

    network = new QNetworkAccessManager(this);
    checkNetwork = new CurlNetwork(this);
    transferNetwork = new CurlNetwork(this);

    requestAds();

    searcher = new Searcher(&songs, ui->stillSearchingLabel, loaderMovie, ui->refineSearchHint,
                            &musicFolder, checkNetwork, transferNetwork, servers.searchUrl);
    connect(searcher, &Searcher::queryDone, this, &BrisaPlayer::queryDone);
    connect(searcher, &Searcher::handedOverDownloadFailed, ui->searchErrorLabel, &QLabel::setText);

    resultCountText = tr("Available songs: %1 of %2");
    ui->resultCountLabel->setText(resultCountText.arg(0).arg(0));

    scrollArea = new QScrollArea(ui->results);
    scrollArea->setGeometry(3, 20, 372, 265);
    scrollArea->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    scrollArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scrollArea->setStyleSheet(QLatin1String(resultAreaSheet));
    scrollArea->lower();

    songList = new SongList(adImageFiles.data(), adTextBuffers.data());
    scrollArea->setWidget(songList);
    // The list takes the focus, not the area around it.
    scrollArea->setFocusPolicy(Qt::NoFocus);
    connect(songList, &SongList::currentRowChanged, this,
            [this](QWidget *row) { scrollArea->ensureWidgetVisible(row, 0, 0); });

    connect(searcher, &Searcher::newSearchPerformed, songList, &SongList::empty);
    connect(searcher, &Searcher::addSong, songList, &SongList::addSong);
    connect(searcher, &Searcher::addSong, this, &BrisaPlayer::noticeSong);
    connect(songList, &SongList::songsShown, this, &BrisaPlayer::songsShown);

    ui->refineSearchHint->hide();

    dirModel = new MusicFolderModel(this);
    iconProvider = new EmptyIconProvider;
    dirModel->setIconProvider(iconProvider);
    dirModel->setFolder(musicFolder);
    ui->songLibrary->setSelectionRectVisible(false);
    ui->songLibrary->setModel(dirModel);

    refreshTimer = new QTimer(this);
    connect(refreshTimer, &QTimer::timeout, this, &BrisaPlayer::timerTriggered);
    refreshTimer->start(refreshInterval);

    // Stop events already arrive queued on this thread, so this runs at once: a click handled
    // in between could otherwise be overridden by a stale advance.
    connect(this, &BrisaPlayer::requestNext, this, &BrisaPlayer::nextRequest);

    playMode = Idle;
    currentSong = nullptr;
    outputOpened = false;

    normalCursor = new QCursor(Qt::ArrowCursor);
    busyCursor = new QCursor(Qt::BusyCursor);

    connect(ui->close, &QPushButton::clicked, qApp, &QCoreApplication::quit);
    connect(ui->minimize, &QPushButton::clicked, this, &QWidget::showMinimized);
    connect(ui->searchButton, &QPushButton::clicked, this, &BrisaPlayer::searchButtonClicked);
    connect(ui->searchText, &QLineEdit::returnPressed, this, &BrisaPlayer::searchButtonClicked);
    connect(ui->searchText, &QLineEdit::textChanged, this, &BrisaPlayer::searchTyped);
    connect(ui->play, &QPushButton::clicked, this, &BrisaPlayer::playPressed);
    connect(ui->next, &QPushButton::clicked, this, &BrisaPlayer::nextPressed);
    connect(ui->prev, &QPushButton::clicked, this, &BrisaPlayer::prevPressed);
    connect(ui->volume, &QSlider::valueChanged, this, &BrisaPlayer::volumeChanged);
    connect(ui->newsLink, &QToolButton::clicked, this, &BrisaPlayer::newsLinkClicked);
    connect(ui->aboutButton, &QPushButton::clicked, this, &BrisaPlayer::aboutButtonClicked);
    connect(ui->tosButton, &QPushButton::clicked, this, &BrisaPlayer::tosButtonClicked);
    connect(ui->policyButton, &QPushButton::clicked, this, &BrisaPlayer::policyButtonClicked);
    connect(ui->contactButton, &QPushButton::clicked, this, &BrisaPlayer::contactButtonClicked);
    connect(ui->openMusicDir, &QPushButton::clicked, this, &BrisaPlayer::openMusicDir);
    connect(ui->songLibrary, &QListView::doubleClicked, this, &BrisaPlayer::songDoubleClicked);
    connect(ui->content, &QToolBox::currentChanged, this, &BrisaPlayer::tabChanged);

    new CursorBlinkTimeout(cursorBlinkTimeout, this);

    setUpKeyboard();
    ui->searchText->setFocus(Qt::OtherFocusReason);
}

void BrisaPlayer::setUpKeyboard()
{
    auto *focusQuery = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_L), this);
    connect(focusQuery, &QShortcut::activated, this, [this] {
        if (ui->content->currentWidget() != ui->search)
            ui->content->setCurrentWidget(ui->search); // tabChanged() focuses the box
        ui->searchText->selectAll();
        ui->searchText->setFocus(Qt::ShortcutFocusReason);
    });
    auto *stop = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(stop, &QShortcut::activated, this, [this] {
        if (playMode != Idle)
            playPressed();
    });
    // Space and the arrows act on what plays from the two lists; elsewhere they keep their
    // usual meaning (a space typed in the query, a focused button pressed).
    ui->songLibrary->installEventFilter(this);
    songList->installEventFilter(this);

    // Visual order: the window's buttons, the page's controls, then the transport row.
    const QList<QWidget *> order{
        ui->minimize,    ui->close,     ui->searchText,   ui->searchButton,
        ui->newsLink,    songList,      ui->openMusicDir, ui->songLibrary,
        ui->aboutButton, ui->tosButton, ui->policyButton, ui->contactButton,
        ui->prev,        ui->play,      ui->next,         ui->volume};
    for (int i = 1; i < order.size(); ++i)
        setTabOrder(order.at(i - 1), order.at(i));

    const auto describe = [](QWidget *widget, const QString &name, const QString &description) {
        widget->setAccessibleName(name);
        widget->setAccessibleDescription(description);
    };
    describe(ui->minimize, tr("Minimize"), tr("Minimizes the window"));
    describe(ui->close, tr("Close"), tr("Closes Larkspin"));
    describe(ui->searchText, tr("Search query"), tr("Words to search for; Return searches"));
    describe(ui->searchButton, tr("Search"), tr("Searches for the words in the query box"));
    describe(ui->newsLink, tr("News"), tr("Opens the news page in the web browser"));
    describe(ui->openMusicDir, tr("Open music folder"),
             tr("Opens the music folder in the file manager"));
    describe(ui->songLibrary, tr("My Music"),
             tr("The tracks in the music folder; Return or a double click plays one, Space "
                "pauses, Left and Right move 5 seconds"));
    describe(ui->aboutButton, tr("About"), tr("Opens the about page in the web browser"));
    describe(ui->tosButton, tr("Terms of service"),
             tr("Opens the terms of service in the web browser"));
    describe(ui->policyButton, tr("Privacy policy"),
             tr("Opens the privacy policy in the web browser"));
    describe(ui->contactButton, tr("Contact"), tr("Opens the contact page in the web browser"));
    describe(ui->prev, tr("Previous"), tr("Plays the previous track of the music folder"));
    describe(ui->next, tr("Next"), tr("Plays the next track of the music folder"));
    describe(ui->volume, tr("Volume"), tr("The volume of the sound that plays"));
    // The tool box's own page buttons, found by their text.
    const QList<QAbstractButton *> pageButtons = ui->content->findChildren<QAbstractButton *>();
    for (int page = 0; page < ui->content->count(); ++page) {
        const QString label = ui->content->itemText(page);
        for (QAbstractButton *button : pageButtons) {
            if (button->text() == label)
                describe(button, label, tr("Shows the %1 page").arg(label));
        }
    }
    describePlayButton();
    connect(this, &BrisaPlayer::playbackChanged, this, &BrisaPlayer::describePlayButton);
}

BrisaPlayer::~BrisaPlayer()
{
    delete refreshTimer;
    refreshTimer = nullptr;
    // The audio thread goes first, so that no stop event is posted while the rest goes.
    releaseOutput();
    delete loaderMovie;
    delete searcher;
    while (!songs.isEmpty())
        delete songs.takeFirst();
    delete dirModel;
    delete iconProvider;
    delete songList;
    delete scrollArea;
    delete normalCursor;
    delete busyCursor;
    for (QNetworkReply *reply : std::as_const(adReplies)) {
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
    adReplies.clear();
    qDeleteAll(adImageFiles);
    qDeleteAll(adTextBuffers);
    delete ui;
}

QString BrisaPlayer::lookUpMusicFolder()
{
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::MusicLocation);
    if (folder.isEmpty())
        return folder;
    // A new user has no music folder yet; downloads and the library page need one.
    QDir().mkpath(folder);
    return QDir::cleanPath(folder);
}

// Advertisements

void BrisaPlayer::requestAds()
{
    for (int i = 0; i < 5; ++i) {
        adImageFiles[i] = new QTemporaryFile;
        // Opened and named at once (asking for the name links an unnamed temporary file into
        // the folder), so that every picture has its path on disk before rows are built.
        adImageFiles[i]->open();
        adImageFiles[i]->fileName();
        adTextBuffers[i] = new QBuffer;
        adTextBuffers[i]->open(QIODevice::ReadWrite);
    }
    auto request = [this](const QString &path, QIODevice *target, qint64 limit) {
        QUrl url = servers.adsUrl;
        url.setPath(path);
        QNetworkRequest req(url);
        req.setTransferTimeout(adTimeout);
        req.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
        QNetworkReply *reply = network->get(req);
        adReplies.append(reply);
        // Counted as the bytes arrive: progress reports come at most every 100 ms, the last one
        // after the reply has finished, so a body that arrives at once would pass them by.
        connect(reply, &QNetworkReply::readyRead, reply, [reply, limit] {
            if (reply->bytesAvailable() > limit)
                reply->abort();
        });
        connect(reply, &QNetworkReply::finished, this, [this, reply, target, limit] {
            const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            const QByteArray body = reply->isOpen() ? reply->read(limit + 1) : QByteArray();
            if (reply->error() == QNetworkReply::NoError && status / 100 == 2
                && body.size() <= limit) {
                target->write(body);
                // On disk at once: the list reads the picture by its path, whatever the
                // other advertisement requests do.
                if (auto *file = qobject_cast<QFileDevice *>(target))
                    file->flush();
            } else {
                adFailed = true;
            }
            adReplies.removeOne(reply);
            reply->deleteLater();
            if (adReplies.isEmpty())
                adDone(adFailed);
        });
    };
    for (int i = 0; i < 5; ++i)
        request(QStringLiteral("/1.2/en%1.png").arg(i + 1), adImageFiles[i], maxAdPictureBytes);
    for (int i = 0; i < 5; ++i)
        request(QStringLiteral("/1.2/en%1.txt").arg(i + 1), adTextBuffers[i], maxAdTextBytes);
}

void BrisaPlayer::adDone(bool error)
{
    if (error)
        return;
    for (QTemporaryFile *file : adImageFiles)
        file->flush();
}

// Window dragging, links and pages

void BrisaPlayer::mousePressEvent(QMouseEvent *event)
{
    const QPoint pos = event->position().toPoint();
    if (event->button() == Qt::LeftButton && childAt(pos) == ui->background) {
        dragging = true;
        dragOrigin = pos;
    }
}

void BrisaPlayer::mouseMoveEvent(QMouseEvent *event)
{
    if (dragging)
        move(event->globalPosition().toPoint() - dragOrigin);
}

void BrisaPlayer::mouseReleaseEvent(QMouseEvent *)
{
    dragging = false;
}

void BrisaPlayer::openWebPage(const QString &path)
{
    QUrl url = servers.webUrl;
    url.setPath(path);
    QDesktopServices::openUrl(url);
}

void BrisaPlayer::newsLinkClicked()
{
    openWebPage(QStringLiteral("/news/"));
}

void BrisaPlayer::aboutButtonClicked()
{
    openWebPage(QStringLiteral("/"));
}

void BrisaPlayer::tosButtonClicked()
{
    openWebPage(QStringLiteral("/tos/"));
}

void BrisaPlayer::policyButtonClicked()
{
    openWebPage(QStringLiteral("/privacy/"));
}

void BrisaPlayer::contactButtonClicked()
{
    openWebPage(QStringLiteral("/contact/"));
}

void BrisaPlayer::tabChanged(int tab)
{
    if (tab != 0)
        return;
    ui->searchText->selectAll();
    ui->searchText->setFocus(Qt::OtherFocusReason);
}

// Searching

void BrisaPlayer::searchButtonClicked()
{
    if (ui->searchText->text().isEmpty()) {
        ui->searchText->setFocus(Qt::OtherFocusReason);
        return;
    }
    ui->searchText->setEnabled(false);
    ui->searchButton->setEnabled(false);
    setCursor(*busyCursor);
    ui->searchText->setCursor(*busyCursor);
    ui->searchButton->setCursor(*busyCursor);
    ui->searchErrorLabel->setText(QString());
    currentQuery = QString::fromLatin1(QUrl::toPercentEncoding(ui->searchText->text()));
    if (playMode == PlayingStream)
        stopCurrent();
    // The rows stay until the new listing arrives; they hold their tracks guarded, so a click
    // on a row whose track newSearch deletes does nothing.
    searcher->newSearch(&currentQuery);
}

void BrisaPlayer::searchTyped()
{
    ui->searchErrorLabel->setText(QString());
}

void BrisaPlayer::queryDone(bool success)
{
    ui->searchText->setEnabled(true);
    ui->searchButton->setEnabled(true);
    setCursor(*normalCursor);
    ui->searchText->setCursor(*normalCursor);
    ui->searchButton->setCursor(*normalCursor);
    if (!success) {
        ui->searchErrorLabel->setText(searcher->message());
        ui->content->setCurrentIndex(0);
        ui->searchText->selectAll();
        ui->searchText->setFocus(Qt::OtherFocusReason);
        return;
    }
    ui->resultCountLabel->setText(
        resultCountText.arg(QStringLiteral("...")).arg(searcher->total()));
    ui->content->setCurrentIndex(1);
}

void BrisaPlayer::songsShown(int count)
{
    ui->resultCountLabel->setText(resultCountText.arg(count).arg(searcher->total()));
}

// Playback

void BrisaPlayer::noticeSong(Song *song)
{
    connect(song, &Song::startPlay, this, &BrisaPlayer::streamStartPlay);
    connect(song, &Song::morePlay, this, &BrisaPlayer::streamMorePlay);
    connect(song, &Song::endPlay, this, &BrisaPlayer::streamEndPlay);
}

bool BrisaPlayer::soundPlaying() const
{
    return stream && stream->isPlaying();
}

void BrisaPlayer::releaseOutput()
{
    // Closing the device ends its audio thread; only then may the callback go.
    device.reset();
    stream.reset();
    source.reset();
    stopCallback.reset();
}

bool BrisaPlayer::openOutput(const QString &path)
{
    stream.reset();
    source.reset();
    // One device for the whole run: opening one takes longer than a track change may.
    if (!device) {
        device = audio::AudioDevice::open();
        if (!device)
            return false;
        stopCallback = std::make_shared<StopCallBack>(this);
        device->registerCallback(stopCallback);
    }
    source = audio::SampleSource::open(QFile::encodeName(path).toStdString());
    if (!source)
        return false;
    stream = audio::OutputStream::open(device, source, true);
    return stream != nullptr;
}

void BrisaPlayer::streamStartPlay(QFile *file, Song *song)
{
    stopCurrent();
    playMode = PlayingStream;
    paused = false;
    currentSong = song;
    ui->play->setIcon(QIcon(QStringLiteral(":/grafik/stop.png")));
    const QString path = QFileInfo(*file).absoluteFilePath();
    if (openOutput(path)) {
        outputOpened = true;
        stream->setVolume(ui->volume->value() / 100.0f);
        streamComplete = false;
        streamPlaying = true;
    } else {
        playMode = Idle;
        ui->play->setIcon(QIcon(QStringLiteral(":/grafik/play.png")));
    }
    emit playbackChanged();
}

void BrisaPlayer::streamMorePlay()
{
    if (streamPlaying && stream && !paused)
        stream->play();
}

void BrisaPlayer::streamEndPlay()
{
    if (!currentSong || sender() != currentSong)
        return;
    streamComplete = true;
    // The data may have run out just before the transfer ended: then no further end of the
    // sound would come. Playing on either plays the rest or ends the sound at once.
    if (playMode == PlayingStream && streamPlaying && stream && !stream->isPlaying() && !paused)
        stream->play();
}

qint64 BrisaPlayer::positionMicroseconds() const
{
    if (playMode == Idle || !stream)
        return 0;
    return stream->position() * 1000000 / audio::AudioDevice::sampleRate;
}

void BrisaPlayer::pauseSound()
{
    if (playMode == Idle || !stream || paused)
        return;
    paused = true;
    stream->pause();
    emit playbackChanged();
}

void BrisaPlayer::resumeSound()
{
    if (playMode == Idle || !stream || !paused)
        return;
    paused = false;
    // A stream that ran out of data while paused plays what has come since, or waits again.
    if (playMode == PlayingFile || streamPlaying)
        stream->play();
    else
        stream->resume();
    emit playbackChanged();
}

void BrisaPlayer::togglePause()
{
    if (paused)
        resumeSound();
    else
        pauseSound();
}

bool BrisaPlayer::seekTo(qint64 microseconds)
{
    if (playMode == Idle || !stream)
        return false;
    const qint64 frame
        = std::max<qint64>(microseconds, 0) * audio::AudioDevice::sampleRate / 1000000;
    if (stream->seek(frame) < 0)
        return false;
    // A sound that had run out of data goes on from its new place, unless paused.
    if (!paused && !stream->isPlaying() && (playMode == PlayingFile || streamPlaying))
        stream->play();
    emit seeked(positionMicroseconds());
    return true;
}

bool BrisaPlayer::seekBy(qint64 microseconds)
{
    return seekTo(positionMicroseconds() + microseconds);
}

qint64 BrisaPlayer::lengthMicroseconds() const
{
    if (!stream || !source
        || !(playMode == PlayingFile || (playMode == PlayingStream && streamComplete)))
        return 0;
    const int rate = source->sampleRate();
    const int64_t frames = source->lengthFrames();
    return rate > 0 && frames > 0 ? qint64(frames * 1000000 / rate) : 0;
}

void BrisaPlayer::soundStopped(bool stopCalled, quint64 streamId)
{
    // Events of a replaced sound, of a stop we asked for, or of a sound resumed since it ran
    // out are all stale by the time they get here.
    if (!stream || streamId != stream->id() || stopCalled || stream->isPlaying())
        return;
    if (playMode == PlayingStream && streamComplete) {
        finishStreamTrack();
        return;
    }
    if (playMode != PlayingFile)
        return;
    // A file that gave no sound at all (no MP3 inside) counts as one that did not open, and a
    // folder that emptied while it played has nothing to go on with: both end here, rather
    // than going round a folder of such files for ever.
    if (stream->framesPlayed() == 0 || dirModel->rowCount() == 0)
        stopOutput();
    else
        emit requestNext();
}

void BrisaPlayer::finishStreamTrack()
{
    streamPlaying = false;
    songList->finish(currentSong);
    ui->play->setIcon(QIcon(QStringLiteral(":/grafik/play.png")));
    playMode = Idle;
    paused = false;
    emit playbackChanged();
}

void BrisaPlayer::stopStreamTrack()
{
    streamPlaying = false;
    Song *song = currentSong;
    currentSong = nullptr;
    if (song)
        song->stopListening();
    // A track freed while it played is the one the list showed playing last.
    songList->abort(song);
}

void BrisaPlayer::stopOutput()
{
    ui->play->setIcon(QIcon(QStringLiteral(":/grafik/play.png")));
    playMode = Idle;
    paused = false;
    if (stream)
        stream->stop();
    emit playbackChanged();
}

void BrisaPlayer::stopCurrent()
{
    if (playMode == PlayingStream)
        stopStreamTrack();
    if (playMode != Idle)
        stopOutput();
}

void BrisaPlayer::playLibraryItem()
{
    const QModelIndex root = ui->songLibrary->rootIndex();
    if (dirModel->rowCount(root) == 0)
        return;
    if (!ui->songLibrary->currentIndex().isValid())
        ui->songLibrary->setCurrentIndex(dirModel->index(0, 0, root));
    const QModelIndex current = ui->songLibrary->currentIndex();
    ui->songLibrary->scrollTo(current, QAbstractItemView::EnsureVisible);
    if (!openOutput(dirModel->filePath(current)))
        return;
    ui->play->setIcon(QIcon(QStringLiteral(":/grafik/stop.png")));
    stream->setVolume(ui->volume->value() / 100.0f);
    stream->play();
    playMode = PlayingFile;
    paused = false;
    outputOpened = true;
    playingFile = dirModel->filePath(current);
    emit playbackChanged();
}

void BrisaPlayer::playPressed()
{
    streamPlaying = false;
    if (playMode == Idle)
        playLibraryItem();
    else
        stopCurrent();
}

void BrisaPlayer::stepLibrary(int step)
{
    streamPlaying = false;
    const QModelIndex root = ui->songLibrary->rootIndex();
    const int n = dirModel->rowCount(root);
    if (n == 0)
        return;
    stopCurrent();
    int row = step > 0 ? 0 : n - 1;
    const QModelIndex current = ui->songLibrary->currentIndex();
    if (current.isValid()) {
        // An item can be current with the selection cleared; it then counts as the reference.
        const QModelIndexList selected = ui->songLibrary->selectionModel()->selectedIndexes();
        const int r = selected.isEmpty() ? current.row() : selected.first().row();
        row = (n + r + step) % n;
    }
    ui->songLibrary->setCurrentIndex(dirModel->index(row, 0, root));
    playLibraryItem();
}

void BrisaPlayer::prevPressed()
{
    stepLibrary(-1);
}

void BrisaPlayer::nextPressed()
{
    stepLibrary(+1);
}

void BrisaPlayer::nextRequest()
{
    nextPressed();
}

void BrisaPlayer::volumeChanged(int vol)
{
    if (playMode != Idle && stream)
        stream->setVolume(static_cast<float>(vol) / 100.0f);
}

bool BrisaPlayer::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::KeyPress || (watched != ui->songLibrary && watched != songList))
        return QWidget::eventFilter(watched, event);
    const auto *key = static_cast<QKeyEvent *>(event);
    if (key->modifiers() & ~Qt::KeypadModifier)
        return false;
    constexpr qint64 step = 5000000;
    switch (key->key()) {
    case Qt::Key_Space:
        togglePause();
        return true;
    case Qt::Key_Left:
        seekBy(-step);
        return true;
    case Qt::Key_Right:
        seekBy(step);
        return true;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (watched != ui->songLibrary || !ui->songLibrary->currentIndex().isValid())
            return false;
        songDoubleClicked(ui->songLibrary->currentIndex());
        return true;
    default:
        return false;
    }
}

void BrisaPlayer::describePlayButton()
{
    QString description;
    if (playMode == PlayingStream && currentSong)
        description = tr("Stops %1 by %2").arg(currentSong->title(), currentSong->creator());
    else if (playMode == PlayingFile)
        description = tr("Stops %1").arg(QFileInfo(playingFile).completeBaseName());
    else
        description = tr("Plays the selected track of the music folder");
    ui->play->setAccessibleName(playMode == Idle ? tr("Play") : tr("Stop"));
    ui->play->setAccessibleDescription(description);
}

// The music folder page

void BrisaPlayer::songDoubleClicked(QModelIndex)
{
    stopCurrent();
    playLibraryItem();
}

void BrisaPlayer::openMusicDir()
{
    QDesktopServices::openUrl(QUrl::fromLocalFile(musicFolder));
}

void BrisaPlayer::timerTriggered()
{
    // Costs one stat() unless the folder changed; notifications usually got there first.
    dirModel->refresh();
}
