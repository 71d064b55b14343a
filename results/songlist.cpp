#include "songlist.h"

#include "song.h"

#include <QBuffer>
#include <QDesktopServices>
#include <QFileInfo>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryFile>
#include <QUrl>
#include <algorithm>

namespace {

const char *const oddRowStyle = "QFrame{border: 0px solid; background-color: white;}";
const char *const evenRowStyle = "QFrame{border: 0px solid; background-color: #f3f2f0;}";
const char *const textLabelStyle = "border: 0px solid;background-color: none;";
const char *const rowButtonStyle
    = "QPushButton{border: 0px solid;background-color: none;text-align: right;color:#ea9d07;"
      "font-weight:bold;} QPushButton:hover{color:black}";
const char *const oddStatusStyle
    = "QLabel {background-color: white; border: none; font-weight:bold;}";
const char *const evenStatusStyle
    = "QLabel {background-color: #f3f2f0; border: none; font-weight:bold;}";
const char *const progressStyle
    = "QProgressBar {border: 1px solid grey;border-radius: 5px;}QProgressBar::chunk "
      "{background-color: #ea9d07;width: 9px;margin-right: 0.5px;}";

constexpr int RowHeight = 36;
constexpr int AdHeight = 100;
constexpr int RowsPerAd = 20;

QString statusStyle(int row)
{
    return QLatin1String(row % 2 ? oddStatusStyle : evenStatusStyle);
}

} // namespace

SongList::SongList(QTemporaryFile *const *adImageFiles, QBuffer *const *adTextBuffers,
                   QWidget *parent)
    : QWidget(parent)
    , adImageFiles(adImageFiles)
    , adTextBuffers(adTextBuffers)
{
    setStyleSheet(QStringLiteral("background-color: white;"));
    setFocusPolicy(Qt::StrongFocus);
    setAccessibleName(tr("Search results"));
    empty();
}

SongList::~SongList()
{
    empty();
}

void SongList::addSong(Song *song)
{
    if (!song)
        return;

    if (m_rowCount % RowsPerAd == 0 && m_rowCount / RowsPerAd < AdCount) {
        placeAd(m_rowCount / RowsPerAd + 1);
        m_nextTop += AdHeight;
    }

    songs.append(song);

    auto *frame = new QFrame(this);
    frame->setGeometry(0, m_nextTop, 355, RowHeight);
    frame->setStyleSheet(QLatin1String(m_rowCount % 2 ? oddRowStyle : evenRowStyle));
    frame->show();
    rowFrames.append(frame);

    // Titles and creators come from a server: shown as typed, never read as markup (a rich
    // text image tag would make the label load any local file).
    auto *titleLabel = new QLabel(frame);
    titleLabel->setTextFormat(Qt::PlainText);
    titleLabel->setGeometry(4, 3, 260, 14);
    titleLabel->setStyleSheet(QLatin1String(textLabelStyle));
    titleLabel->show();
    textLabels.append(titleLabel);
    auto *creatorLabel = new QLabel(frame);
    creatorLabel->setTextFormat(Qt::PlainText);
    creatorLabel->setGeometry(4, 20, 260, 14);
    creatorLabel->setStyleSheet(QLatin1String(textLabelStyle));
    creatorLabel->show();
    textLabels.append(creatorLabel);

    if (actionIcon.isNull())
        actionIcon = QIcon(QStringLiteral(":/grafik/action.png"));
    const auto makeButton = [&](const QString &text, int y) {
        auto *button = new QPushButton(frame);
        button->setText(text);
        button->setCursor(Qt::PointingHandCursor);
        // Once covered by a status label, a button must not be pressed from the keyboard.
        button->setFocusPolicy(Qt::NoFocus);
        button->setIcon(actionIcon);
        button->setGeometry(270, y, 80, 16);
        button->setStyleSheet(QLatin1String(rowButtonStyle));
        button->show();
        rowButtons.append(button);
        connect(button, &QPushButton::clicked, this, &SongList::buttonClicked);
        return button;
    };
    QPushButton *playButton = makeButton(tr("Play Song"), 3);
    QPushButton *downloadButton = makeButton(tr("Download"), 20);

    const QString tip
        = QLatin1String("<qt>") + song->location().toHtmlEscaped() + QLatin1String("</qt>");
    playButton->setToolTip(tip);
    downloadButton->setToolTip(tip);
    playButton->setAccessibleName(tr("Play Song"));
    playButton->setAccessibleDescription(
        tr("Plays %1 by %2 while it downloads").arg(song->title(), song->creator()));
    downloadButton->setAccessibleName(tr("Download"));
    downloadButton->setAccessibleDescription(
        tr("Saves %1 by %2 into the music folder").arg(song->title(), song->creator()));
    titleLabel->setText(song->title());
    creatorLabel->setText(song->creator());

    m_nextTop += RowHeight;
    // Not setGeometry(): inside the scroll area the position is the scroll offset.
    resize(355, m_nextTop + RowHeight);

    ++m_rowCount;
    if (m_currentRow < 0)
        setCurrentRow(0);
    emit songsShown(m_rowCount);
}

void SongList::placeAd(int slot)
{
    auto *button = new QPushButton(this);
    button->setFlat(true);
    button->setCursor(Qt::PointingHandCursor);
    QTemporaryFile *file = adImageFiles ? adImageFiles[slot - 1] : nullptr;
    if (file && !file->fileName().isEmpty())
        button->setIcon(QIcon(QPixmap(QFileInfo(file->fileName()).absoluteFilePath())));
    button->setIconSize(QSize(350, 100));
    button->setGeometry(0, m_nextTop, 350, 100);
    button->setAccessibleName(tr("Advertisement %1").arg(slot));
    button->setAccessibleDescription(tr("Opens the advertiser's page in the web browser"));
    static constexpr void (SongList::*clickSlots[AdCount])()
        = {&SongList::ad1clicked, &SongList::ad2clicked, &SongList::ad3clicked,
           &SongList::ad4clicked, &SongList::ad5clicked};
    connect(button, &QPushButton::clicked, this, clickSlots[slot - 1]);
    button->show();
    adButtons.append(button);
}

void SongList::ad1clicked()
{
    adClicked(1);
}

void SongList::ad2clicked()
{
    adClicked(2);
}

void SongList::ad3clicked()
{
    adClicked(3);
}

void SongList::ad4clicked()
{
    adClicked(4);
}

void SongList::ad5clicked()
{
    adClicked(5);
}

void SongList::adClicked(int slot)
{
    const QBuffer *buffer = adTextBuffers ? adTextBuffers[slot - 1] : nullptr;
    if (!buffer)
        return;
    QByteArray bytes = buffer->data();
    const int zero = bytes.indexOf('\0');
    if (zero >= 0)
        bytes.truncate(zero);
    const QString text = QString::fromLatin1(bytes);
    if (text.startsWith(QLatin1String("http://"), Qt::CaseSensitive))
        QDesktopServices::openUrl(QUrl(text));
}

QLabel *SongList::statusLabelFor(int row)
{
    QLabel *label = rowStatus.value(row);
    if (!label) {
        label = new QLabel(rowFrames.at(row));
        rowStatus.insert(row, label);
        statusLabels.append(label);
    }
    return label;
}

void SongList::buttonClicked()
{
    const int index = rowButtons.indexOf(qobject_cast<QPushButton *>(sender()));
    if (index < 0)
        return;
    const int row = index / 2;
    // The track of a row may already be gone when a new search has started.
    Song *song = songs.at(row);
    if (!song)
        return;

    m_activeRow = row;
    if (index % 2) {
        startDownload();
        return;
    }

    QLabel *label = statusLabelFor(row);
    label->setGeometry(rowButtons.at(2 * row)->geometry());
    label->setAlignment(Qt::AlignRight);
    label->setStyleSheet(statusStyle(row));
    label->setText(tr("playing..."));
    label->show();
    playingStatus = label;
    song->listen();
}

void SongList::startDownload()
{
    const int row = m_activeRow;
    Song *song = songs.at(row);
    QFrame *frame = rowFrames.at(row);

    QLabel *label = statusLabelFor(row);
    label->setGeometry(rowButtons.at(2 * row)->geometry());
    label->setAlignment(Qt::AlignRight);
    label->setStyleSheet(statusStyle(row));
    label->setText(tr("downloading"));
    label->show();

    auto *bar = new QProgressBar(frame);
    bar->setTextVisible(false);
    bar->setGeometry(270, 20, 80, 14);
    bar->hide();
    bar->setMinimum(0);
    bar->setStyleSheet(QLatin1String(progressStyle));
    bar->show();

    connect(song, &Song::downloadReady, this, &SongList::downloadReady, Qt::UniqueConnection);
    song->download(bar, row);
}

void SongList::downloadReady(int pos, int error)
{
    if (pos < 0 || pos >= m_rowCount)
        return;
    // A report from a track that is not the row's own belongs to an earlier listing.
    if (auto *reporter = qobject_cast<Song *>(sender()); reporter && songs.at(pos) != reporter)
        return;

    auto *label = new QLabel(rowFrames.at(pos));
    label->setGeometry(270, 3, 80, 45);
    label->setStyleSheet(statusStyle(pos));
    label->setAlignment(Qt::AlignRight);
    switch (error) {
    case Song::NotAvailable:
        label->setText(tr("not available"));
        break;
    case Song::NoMp3File:
        label->setText(tr("no mp3 file"));
        break;
    case Song::BadFilename:
        label->setText(tr("bad filename"));
        break;
    case Song::FileExists:
        label->setText(tr("file exists"));
        break;
    default:
        label->setText(tr("downloaded"));
        break;
    }
    statusLabels.append(label);
    label->show();
}

int SongList::rowOf(const Song *song) const
{
    if (!song)
        return -1;
    for (int row = 0; row < songs.size(); ++row) {
        if (songs.at(row) == song)
            return row;
    }
    return -1;
}

QLabel *SongList::takePlayingStatus(Song *song)
{
    int row = rowOf(song);
    if (row < 0 && !song && playingStatus) {
        const QList<int> rows = rowStatus.keys(playingStatus.data());
        row = rows.isEmpty() ? -1 : rows.constFirst();
    }
    if (row < 0)
        return nullptr;
    QLabel *label = rowStatus.take(row);
    if (label == playingStatus)
        playingStatus = nullptr;
    return label;
}

void SongList::abort(Song *song)
{
    if (QLabel *label = takePlayingStatus(song))
        label->setText(tr("play stopped"));
}

void SongList::finish(Song *song)
{
    if (QLabel *label = takePlayingStatus(song))
        label->setText(QString());
}

void SongList::empty()
{
    for (const QPointer<Song> &song : std::as_const(songs)) {
        if (song)
            disconnect(song, nullptr, this, nullptr);
    }
    m_rowCount = 0;
    songs.clear();
    rowStatus.clear();

    while (!adButtons.isEmpty())
        delete adButtons.takeFirst();
    while (!textLabels.isEmpty())
        delete textLabels.takeFirst();
    while (!statusLabels.isEmpty())
        delete statusLabels.takeFirst();
    while (!rowButtons.isEmpty())
        delete rowButtons.takeFirst();
    while (!rowFrames.isEmpty())
        delete rowFrames.takeFirst();

    resize(0, 0);
    m_nextTop = 0;
    m_currentRow = -1;
    setAccessibleDescription(QString());
}

void SongList::setCurrentRow(int row)
{
    if (row < 0 || row >= m_rowCount)
        return;
    m_currentRow = row;
    const Song *song = songs.at(row);
    setAccessibleDescription(song ? tr("%1 by %2, row %3 of %4")
                                        .arg(song->title(), song->creator())
                                        .arg(row + 1)
                                        .arg(m_rowCount)
                                  : QString());
    emit currentRowChanged(rowFrames.at(row));
}

bool SongList::playButtonCovered(int row) const
{
    const QRect button = rowButtons.at(2 * row)->geometry();
    const QList<QLabel *> labels
        = rowFrames.at(row)->findChildren<QLabel *>(QString(), Qt::FindDirectChildrenOnly);
    for (const QLabel *label : labels) {
        if (!label->isHidden() && !label->text().isEmpty() && label->geometry().intersects(button)
            && !textLabels.contains(label))
            return true;
    }
    return false;
}

void SongList::keyPressEvent(QKeyEvent *event)
{
    if (m_rowCount == 0 || (event->modifiers() & ~Qt::KeypadModifier)) {
        QWidget::keyPressEvent(event);
        return;
    }
    switch (event->key()) {
    case Qt::Key_Up:
        setCurrentRow(std::max(m_currentRow - 1, 0));
        break;
    case Qt::Key_Down:
        setCurrentRow(std::min(m_currentRow + 1, m_rowCount - 1));
        break;
    case Qt::Key_Home:
        setCurrentRow(0);
        break;
    case Qt::Key_End:
        setCurrentRow(m_rowCount - 1);
        break;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (m_currentRow >= 0 && !playButtonCovered(m_currentRow))
            rowButtons.at(2 * m_currentRow)->click();
        break;
    default:
        QWidget::keyPressEvent(event);
        return;
    }
    event->accept();
}
