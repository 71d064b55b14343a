#include "curlnetwork.h"
#include "song.h"
#include "songlist.h"

#include <QBuffer>
#include <QDesktopServices>
#include <QFrame>
#include <QImage>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>

#include <memory>

namespace {

const QString greyStatus
    = QStringLiteral("QLabel {background-color: #f3f2f0; border: none; font-weight:bold;}");
const QString whiteStatus
    = QStringLiteral("QLabel {background-color: white; border: none; font-weight:bold;}");

// The last label made on a row's frame.
QLabel *newestLabel(QFrame *frame)
{
    const QList<QLabel *> labels = frame->findChildren<QLabel *>(Qt::FindDirectChildrenOnly);
    return labels.isEmpty() ? nullptr : labels.last();
}

} // namespace

class UrlRecorder : public QObject
{
    Q_OBJECT

public:
    QList<QUrl> opened;

public slots:
    void open(const QUrl &url) { opened.append(url); }
};

class TestSongList : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void serverTextIsNeverMarkup();

    void emptyListIsZeroSized();
    void firstRow();
    void rowAndAdvertisementPlaces_data();
    void rowAndAdvertisementPlaces();
    void rowLooks_data();
    void rowLooks();
    void advertisementButtons();
    void advertisementClick_data();
    void advertisementClick();

    void playShowsPlayingAndListens();
    void abortAndFinish();
    void freedTrackEndsItsRowsPlay();
    void earlierListingIsIgnored();
    void rowOfDestroyedTrackIsInert();

    void downloadControl();
    void downloadWhilePlayingReusesLabel();
    void downloadOutcomeTexts_data();
    void downloadOutcomeTexts();

private:
    Song *makeSong(int i);
    void fill(int rows);

    QTemporaryDir musicDir;
    QString musicFolder;
    QString unreachable;
    std::unique_ptr<CurlNetwork> network;
    QTemporaryFile *adImageFiles[SongList::AdCount] = {};
    QBuffer *adTextBuffers[SongList::AdCount] = {};
    std::unique_ptr<SongList> list;
    QList<Song *> songs;
    UrlRecorder recorder;
};

void TestSongList::initTestCase()
{
    qRegisterMetaType<Song *>();
    qRegisterMetaType<QFile *>();
    QVERIFY(musicDir.isValid());
    musicFolder = musicDir.path();
    // A port nobody listens on: the tracks here are records, their transfers fail at once.
    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost));
    unreachable = QStringLiteral("http://127.0.0.1:%1").arg(closed.serverPort());
    closed.close();
    QDesktopServices::setUrlHandler(QStringLiteral("http"), &recorder, "open");
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &recorder, "open");
}

void TestSongList::init()
{
    network = std::make_unique<CurlNetwork>();
    for (int i = 0; i < SongList::AdCount; ++i) {
        adImageFiles[i] = new QTemporaryFile;
        // Slot 3 has no picture: its file was never opened.
        if (i != 2) {
            QVERIFY(adImageFiles[i]->open());
            QImage picture(350, 100, QImage::Format_RGB32);
            picture.fill(Qt::red);
            QVERIFY(picture.save(adImageFiles[i], "PNG"));
            adImageFiles[i]->flush();
        }
        adTextBuffers[i] = new QBuffer;
        adTextBuffers[i]->setData(QStringLiteral("http://ads.invalid/%1").arg(i + 1).toLatin1());
    }
    list = std::make_unique<SongList>(adImageFiles, adTextBuffers);
    list->show();
    recorder.opened.clear();
}

void TestSongList::cleanup()
{
    list.reset();
    qDeleteAll(songs);
    songs.clear();
    for (int i = 0; i < SongList::AdCount; ++i) {
        delete adImageFiles[i];
        delete adTextBuffers[i];
    }
    network.reset();
}

void TestSongList::serverTextIsNeverMarkup()
{
    // Rich text would load the named file into the label: this one never ends.
    const QString markup = QStringLiteral("<img src=\"/dev/zero\">");
    auto *song = new Song(markup, markup + QStringLiteral("<b>x</b>"),
                          unreachable + QStringLiteral("/<i>a</i>.mp3"), &musicFolder,
                          network.get(), network.get());
    songs.append(song);
    list->addSong(song);
    QCOMPARE(list->textLabel(0, 0)->text(), markup);
    QCOMPARE(list->textLabel(0, 0)->textFormat(), Qt::PlainText);
    QCOMPARE(list->textLabel(0, 1)->textFormat(), Qt::PlainText);
    QVERIFY(list->rowButton(0, 0)->toolTip().contains(QLatin1String("&lt;i&gt;a&lt;/i&gt;")));
    QCOMPARE(list->rowButton(0, 0)->focusPolicy(), Qt::NoFocus);
    list->grab(); // paints the row: with markup read as such, this would not return
}

Song *TestSongList::makeSong(int i)
{
    auto *song = new Song(QStringLiteral("title %1").arg(i), QStringLiteral("creator %1").arg(i),
                          unreachable + QStringLiteral("/%1.mp3").arg(i), &musicFolder,
                          network.get(), network.get());
    // Unreachable: its transfers fail for good after the resumptions, which need not wait.
    song->setResumeDelay(5);
    songs.append(song);
    return song;
}

void TestSongList::fill(int rows)
{
    for (int i = 0; i < rows; ++i)
        list->addSong(makeSong(i));
}

void TestSongList::emptyListIsZeroSized()
{
    QCOMPARE(list->size(), QSize(0, 0));
    QCOMPARE(list->rowCount(), 0);
    QCOMPARE(list->nextTop(), 0);
    QCOMPARE(list->styleSheet(), QStringLiteral("background-color: white;"));

    fill(25);
    list->rowButton(3, 0)->click();
    list->rowButton(4, 1)->click();
    QSignalSpy shown(list.get(), &SongList::songsShown);
    list->empty();
    QCOMPARE(shown.size(), 0);
    QCOMPARE(list->size(), QSize(0, 0));
    QCOMPARE(list->rowCount(), 0);
    QCOMPARE(list->nextTop(), 0);
    QCOMPARE(list->adButtonCount(), 0);
    QVERIFY(list->findChildren<QWidget *>().isEmpty());

    // A new listing starts over with advertisement 1 at the top.
    list->addSong(makeSong(99));
    QCOMPARE(list->rowFrame(0)->geometry(), QRect(0, 100, 355, 36));
    QCOMPARE(list->song(0), songs.last());
}

void TestSongList::firstRow()
{
    QSignalSpy shown(list.get(), &SongList::songsShown);
    fill(1);
    QCOMPARE(list->adButtonCount(), 1);
    QCOMPARE(list->adButton(0)->geometry(), QRect(0, 0, 350, 100));
    QCOMPARE(list->rowFrame(0)->geometry(), QRect(0, 100, 355, 36));
    QCOMPARE(list->size(), QSize(355, 172));
    QCOMPARE(list->nextTop(), 136);
    QCOMPARE(shown.size(), 1);
    QCOMPARE(shown.at(0).at(0).toInt(), 1);
    fill(2);
    QCOMPARE(shown.size(), 3);
    QCOMPARE(shown.at(2).at(0).toInt(), 3);
}

void TestSongList::rowAndAdvertisementPlaces_data()
{
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("ads");
    QTest::addColumn<QList<int>>("adTops");
    QTest::addColumn<int>("height");
    QTest::newRow("19 rows") << 19 << 1 << QList<int>{0} << 100 + 19 * 36 + 36;
    QTest::newRow("21 rows") << 21 << 2 << QList<int>{0, 820} << 200 + 21 * 36 + 36;
    QTest::newRow("81 rows") << 81 << 5 << QList<int>{0, 820, 1640, 2460, 3280}
                             << 500 + 81 * 36 + 36;
    QTest::newRow("121 rows") << 121 << 5 << QList<int>{0, 820, 1640, 2460, 3280}
                              << 500 + 121 * 36 + 36;
}

void TestSongList::rowAndAdvertisementPlaces()
{
    QFETCH(int, rows);
    QFETCH(int, ads);
    QFETCH(QList<int>, adTops);
    QFETCH(int, height);
    fill(rows);
    QCOMPARE(list->rowCount(), rows);
    QCOMPARE(list->adButtonCount(), ads);
    for (int i = 0; i < ads; ++i)
        QCOMPARE(list->adButton(i)->geometry(), QRect(0, adTops.at(i), 350, 100));
    QCOMPARE(list->size(), QSize(355, height));

    const QList<QPair<int, int>> known{{0, 100}, {19, 784}, {20, 920}, {80, 3380}, {100, 4100}};
    for (const auto &[row, top] : known) {
        if (row < rows)
            QCOMPARE(list->rowFrame(row)->geometry(), QRect(0, top, 355, 36));
    }
}

void TestSongList::rowLooks_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<QString>("frameStyle");
    const QString grey = QStringLiteral("QFrame{border: 0px solid; background-color: #f3f2f0;}");
    const QString white = QStringLiteral("QFrame{border: 0px solid; background-color: white;}");
    QTest::newRow("row 0") << 0 << grey;
    QTest::newRow("row 1") << 1 << white;
    QTest::newRow("row 19, before an advertisement") << 19 << white;
    QTest::newRow("row 20, after an advertisement") << 20 << grey;
    QTest::newRow("row 21") << 21 << white;
}

void TestSongList::rowLooks()
{
    QFETCH(int, row);
    QFETCH(QString, frameStyle);
    fill(22);
    QFrame *frame = list->rowFrame(row);
    QCOMPARE(frame->parentWidget(), list.get());
    QCOMPARE(frame->styleSheet(), frameStyle);
    QVERIFY(frame->isVisible());

    const QString labelStyle = QStringLiteral("border: 0px solid;background-color: none;");
    QLabel *title = list->textLabel(row, 0);
    QLabel *creator = list->textLabel(row, 1);
    QCOMPARE(title->parentWidget(), frame);
    QCOMPARE(title->geometry(), QRect(4, 3, 260, 14));
    QCOMPARE(creator->geometry(), QRect(4, 20, 260, 14));
    QCOMPARE(title->styleSheet(), labelStyle);
    QCOMPARE(creator->styleSheet(), labelStyle);
    QCOMPARE(title->text(), QStringLiteral("title %1").arg(row));
    QCOMPARE(creator->text(), QStringLiteral("creator %1").arg(row));

    const QString buttonStyle = QStringLiteral(
        "QPushButton{border: 0px solid;background-color: none;text-align: right;color:#ea9d07;"
        "font-weight:bold;} QPushButton:hover{color:black}");
    QPushButton *play = list->rowButton(row, 0);
    QPushButton *download = list->rowButton(row, 1);
    QCOMPARE(play->text(), QStringLiteral("Play Song"));
    QCOMPARE(download->text(), QStringLiteral("Download"));
    QCOMPARE(play->geometry(), QRect(270, 3, 80, 16));
    QCOMPARE(download->geometry(), QRect(270, 20, 80, 16));
    for (QPushButton *button : {play, download}) {
        QCOMPARE(button->parentWidget(), frame);
        QCOMPARE(button->styleSheet(), buttonStyle);
        QCOMPARE(button->cursor().shape(), Qt::PointingHandCursor);
        QVERIFY(!button->icon().isNull());
        QCOMPARE(button->toolTip(), QStringLiteral("<qt>%1/%2.mp3</qt>").arg(unreachable).arg(row));
        QVERIFY(button->isVisible());
    }
}

void TestSongList::advertisementButtons()
{
    fill(61);
    QCOMPARE(list->adButtonCount(), 4);
    for (int i = 0; i < 4; ++i) {
        QPushButton *ad = list->adButton(i);
        QCOMPARE(ad->parentWidget(), list.get());
        QVERIFY(ad->isFlat());
        QVERIFY(ad->text().isEmpty());
        QCOMPARE(ad->cursor().shape(), Qt::PointingHandCursor);
        QCOMPARE(ad->iconSize(), QSize(350, 100));
        // Slot 3's picture never arrived: a blank button in its place.
        QCOMPARE(ad->icon().isNull(), i == 2);
    }
}

void TestSongList::advertisementClick_data()
{
    QTest::addColumn<int>("slot");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("opened");
    QTest::newRow("slot 1") << 1 << QByteArray("http://ads.invalid/one?x=1")
                            << QStringLiteral("http://ads.invalid/one?x=1");
    QTest::newRow("slot 5 reads its own text")
        << 5 << QByteArray("http://ads.invalid/five") << QStringLiteral("http://ads.invalid/five");
    QTest::newRow("up to the first zero byte")
        << 2 << QByteArray("http://ads.invalid/two\0junk", 27)
        << QStringLiteral("http://ads.invalid/two");
    QTest::newRow("upper-case scheme") << 1 << QByteArray("HTTP://ads.invalid/") << QString();
    QTest::newRow("leading blank") << 1 << QByteArray(" http://ads.invalid/") << QString();
    QTest::newRow("https") << 1 << QByteArray("https://ads.invalid/") << QString();
    QTest::newRow("nothing arrived") << 1 << QByteArray() << QString();
}

void TestSongList::advertisementClick()
{
    QFETCH(int, slot);
    QFETCH(QByteArray, text);
    QFETCH(QString, opened);
    adTextBuffers[slot - 1]->setData(text);
    fill(81);
    QCOMPARE(list->adButtonCount(), 5);
    QTest::mouseClick(list->adButton(slot - 1), Qt::LeftButton);
    if (opened.isEmpty()) {
        QVERIFY(recorder.opened.isEmpty());
    } else {
        QCOMPARE(recorder.opened.size(), 1);
        QCOMPARE(recorder.opened.at(0).toString(), opened);
    }
}

void TestSongList::playShowsPlayingAndListens()
{
    fill(2);
    QSignalSpy started(list->song(1), &Song::startPlay);
    list->rowButton(1, 0)->click();
    QCOMPARE(started.size(), 1);
    QCOMPARE(list->activeRow(), 1);
    QLabel *status = list->rowStatusLabel(1);
    QVERIFY(status);
    QCOMPARE(status->parentWidget(), list->rowFrame(1));
    QCOMPARE(status->text(), QStringLiteral("playing..."));
    QCOMPARE(status->geometry(), QRect(270, 3, 80, 16));
    QCOMPARE(status->alignment(), Qt::AlignRight);
    QCOMPARE(status->styleSheet(), whiteStatus);
    QVERIFY(status->isVisible());

    // A second click reuses the row's label.
    list->rowButton(1, 0)->click();
    QCOMPARE(list->rowStatusLabel(1), status);
    QCOMPARE(started.size(), 2);

    list->rowButton(0, 0)->click();
    QCOMPARE(list->rowStatusLabel(0)->styleSheet(), greyStatus);
}

void TestSongList::abortAndFinish()
{
    fill(3);
    list->rowButton(0, 0)->click();
    list->rowButton(1, 0)->click();
    QLabel *first = list->rowStatusLabel(0);
    QLabel *second = list->rowStatusLabel(1);

    list->abort(list->song(0));
    QCOMPARE(first->text(), QStringLiteral("play stopped"));
    QVERIFY(!list->rowStatusLabel(0));
    QVERIFY(first->isVisible());

    list->finish(list->song(1));
    QCOMPARE(second->text(), QString());
    QVERIFY(!list->rowStatusLabel(1));
    QVERIFY(second->isVisible());

    // No label, no entry: nothing happens and none is made.
    list->abort(list->song(2));
    list->finish(list->song(2));
    QVERIFY(!list->rowStatusLabel(2));
    list->abort(nullptr);

    // After finish, Download makes a fresh label for the row.
    list->rowButton(1, 1)->click();
    QVERIFY(list->rowStatusLabel(1));
    QVERIFY(list->rowStatusLabel(1) != second);
    QCOMPARE(list->rowStatusLabel(1)->text(), QStringLiteral("downloading"));
}

// A track freed while it played (a handed-over download that ended) is named by no pointer any
// more: the end of its play is the end of the row last shown "playing...".
void TestSongList::freedTrackEndsItsRowsPlay()
{
    fill(3);
    list->rowButton(1, 0)->click();
    QLabel *playing = list->rowStatusLabel(1);
    QCOMPARE(playing->text(), QStringLiteral("playing..."));
    delete songs.takeAt(1);
    QVERIFY(!list->song(1));
    list->finish(nullptr);
    QCOMPARE(playing->text(), QString());
    QVERIFY(!list->rowStatusLabel(1));

    list->rowButton(2, 0)->click();
    QLabel *stopped = list->rowStatusLabel(2);
    delete songs.takeAt(1); // the track of row 2
    list->abort(nullptr);
    QCOMPARE(stopped->text(), QStringLiteral("play stopped"));
    QVERIFY(!list->rowStatusLabel(2));

    // That play is over: a later end without a track touches no row.
    list->rowButton(0, 1)->click();
    list->finish(nullptr);
    QCOMPARE(list->rowStatusLabel(0)->text(), QStringLiteral("downloading"));
}

void TestSongList::earlierListingIsIgnored()
{
    fill(1);
    Song *earlier = list->song(0);
    list->rowButton(0, 0)->click();
    list->empty();

    list->addSong(makeSong(7));
    list->rowButton(0, 0)->click();
    QLabel *status = list->rowStatusLabel(0);
    list->abort(earlier);
    list->finish(earlier);
    QCOMPARE(status->text(), QStringLiteral("playing..."));
    QCOMPARE(list->rowStatusLabel(0), status);
}

void TestSongList::rowOfDestroyedTrackIsInert()
{
    fill(2);
    Song *gone = list->song(0);
    songs.removeOne(gone);
    delete gone;
    QCOMPARE(list->rowCount(), 2);

    list->rowButton(0, 0)->click();
    list->rowButton(0, 1)->click();
    QVERIFY(!list->rowStatusLabel(0));
    QVERIFY(!list->rowFrame(0)->findChild<QProgressBar *>());
    QCOMPARE(list->activeRow(), 0);
    list->abort(gone);
    QVERIFY(!list->rowStatusLabel(0));

    // The other row still works.
    list->rowButton(1, 1)->click();
    QCOMPARE(list->activeRow(), 1);
    QVERIFY(list->rowStatusLabel(1));
}

void TestSongList::downloadControl()
{
    fill(2);
    QFrame *frame = list->rowFrame(1);
    list->rowButton(1, 1)->click();
    QCOMPARE(list->activeRow(), 1);

    QLabel *status = list->rowStatusLabel(1);
    QVERIFY(status);
    QCOMPARE(status->text(), QStringLiteral("downloading"));
    QCOMPARE(status->geometry(), QRect(270, 3, 80, 16));
    QCOMPARE(status->alignment(), Qt::AlignRight);
    QCOMPARE(status->styleSheet(), whiteStatus);
    QVERIFY(status->isVisible());

    QProgressBar *bar = frame->findChild<QProgressBar *>();
    QVERIFY(bar);
    QCOMPARE(bar->geometry(), QRect(270, 20, 80, 14));
    QVERIFY(!bar->isTextVisible());
    QVERIFY(bar->isVisible());
    QCOMPARE(bar->minimum(), 0);
    QCOMPARE(bar->styleSheet(),
             QStringLiteral("QProgressBar {border: 1px solid grey;border-radius: 5px;}"
                            "QProgressBar::chunk {background-color: #ea9d07;width: 9px;"
                            "margin-right: 0.5px;}"));

    // The track cannot be fetched: its report ends the row with the outcome label.
    const int labelsBefore = frame->findChildren<QLabel *>().size();
    QTRY_COMPARE(frame->findChildren<QLabel *>().size(), labelsBefore + 1);
    QLabel *outcome = newestLabel(frame);
    QCOMPARE(outcome->text(), QStringLiteral("not available"));
    QCOMPARE(outcome->geometry(), QRect(270, 3, 80, 45));
    QCOMPARE(list->rowStatusLabel(1), status);
}

void TestSongList::downloadWhilePlayingReusesLabel()
{
    fill(1);
    list->rowButton(0, 0)->click();
    QLabel *status = list->rowStatusLabel(0);
    const int labels = list->rowFrame(0)->findChildren<QLabel *>().size();
    list->rowButton(0, 1)->click();
    QCOMPARE(list->rowStatusLabel(0), status);
    QCOMPARE(status->text(), QStringLiteral("downloading"));
    QCOMPARE(status->styleSheet(), greyStatus);
    QCOMPARE(list->rowFrame(0)->findChildren<QLabel *>().size(), labels);
}

void TestSongList::downloadOutcomeTexts_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("text");
    QTest::newRow("0") << 0 << 0 << QStringLiteral("downloaded");
    QTest::newRow("1") << 1 << 1 << QStringLiteral("not available");
    QTest::newRow("2") << 0 << 2 << QStringLiteral("no mp3 file");
    QTest::newRow("3") << 1 << 3 << QStringLiteral("bad filename");
    QTest::newRow("4") << 0 << 4 << QStringLiteral("file exists");
    QTest::newRow("5") << 1 << 5 << QStringLiteral("downloaded");
    QTest::newRow("-1") << 0 << -1 << QStringLiteral("downloaded");
}

void TestSongList::downloadOutcomeTexts()
{
    QFETCH(int, row);
    QFETCH(int, code);
    QFETCH(QString, text);
    fill(2);
    QFrame *frame = list->rowFrame(row);
    const int labels = frame->findChildren<QLabel *>().size();
    list->downloadReady(row, code);
    QCOMPARE(frame->findChildren<QLabel *>().size(), labels + 1);
    QLabel *outcome = newestLabel(frame);
    QCOMPARE(outcome->text(), text);
    QCOMPARE(outcome->geometry(), QRect(270, 3, 80, 45));
    QCOMPARE(outcome->alignment(), Qt::AlignRight);
    QCOMPARE(outcome->styleSheet(), row % 2 ? whiteStatus : greyStatus);
    QVERIFY(outcome->isVisible());

    // A row that is not listed gets nothing.
    list->downloadReady(2, code);
    list->downloadReady(-1, code);
    QCOMPARE(list->findChildren<QLabel *>().size(), 4 + 1);
}

QTEST_MAIN(TestSongList)
#include "tst_songlist.moc"
