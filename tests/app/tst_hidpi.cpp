#include "brisaplayer.h"
#include "testmusicfolder.h"

#include <QAbstractButton>
#include <QGuiApplication>
#include <QLabel>
#include <QMovie>
#include <QPainter>
#include <QTemporaryDir>
#include <QTest>

namespace {

QImage premultiplied(const QImage &image)
{
    return image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

} // namespace

// The window on a 2x screen (CTest sets QT_SCALE_FACTOR=2): the same geometry in
// device-independent pixels, twice the pixels, and the skin drawn from its 2x pictures.
class TestHiDpi : public QObject
{
    Q_OBJECT

private slots:
    void windowIsDrawnFromTheDoublePictures();
};

void TestHiDpi::windowIsDrawnFromTheDoublePictures()
{
    QCOMPARE(qApp->devicePixelRatio(), 2.0);
    QTemporaryDir home;
    QVERIFY(TestMusicFolder::use(home.filePath(QStringLiteral("config")),
                                 home.filePath(QStringLiteral("Music"))));
    ServerConfig servers;
    servers.searchUrl = servers.adsUrl = servers.webUrl
        = QUrl(QStringLiteral("http://127.0.0.1:9"));
    BrisaPlayer window(servers);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(window.size(), QSize(380, 520));

    const QPixmap shot = window.grab();
    QCOMPARE(shot.devicePixelRatio(), 2.0);
    QCOMPARE(shot.size(), QSize(760, 1040));

    const auto *background = window.findChild<QLabel *>(QStringLiteral("background"));
    QCOMPARE(background->pixmap().devicePixelRatio(), 2.0);
    const QImage skin = premultiplied(QImage(QStringLiteral(":/grafik/player@2x.png")));
    QCOMPARE(premultiplied(background->pixmap().toImage()), skin);
    // The word mark's strip, where no widget lies over the skin, shows the 2x drawing pixel
    // for pixel.
    const QRect strip(0, 0, 660, 116);
    QCOMPARE(premultiplied(shot.toImage()).copy(strip), skin.copy(strip));

    // Style sheet pictures: the close button's image lies on the skin within its 16x15 frame,
    // pixel for pixel the 2x file (the style decides the exact inset).
    const QRect frame(718, 10, 32, 30);
    const QImage drawn = premultiplied(shot.toImage()).copy(frame);
    bool found = false;
    for (int dy = 0; dy <= 4 && !found; ++dy) {
        for (int dx = 0; dx <= 4 && !found; ++dx) {
            QImage expected = skin.copy(frame);
            QPainter painter(&expected);
            painter.drawImage(QPoint(dx, dy), QImage(QStringLiteral(":/grafik/exit_off@2x.png")));
            painter.end();
            found = drawn == expected;
        }
    }
    QVERIFY(found);

    const auto *logo = window.findChild<QLabel *>(QStringLiteral("logo"));
    QCOMPARE(premultiplied(logo->pixmap().toImage()),
             premultiplied(QImage(QStringLiteral(":/grafik/exe@2x.png"))));
    const auto *loader = window.findChild<QLabel *>(QStringLiteral("stillSearchingLabel"));
    QVERIFY(loader->movie());
    QVERIFY(loader->movie()->jumpToFrame(0));
    QCOMPARE(loader->movie()->currentPixmap().devicePixelRatio(), 2.0);

    const auto *play = window.findChild<QAbstractButton *>(QStringLiteral("play"));
    QCOMPARE(premultiplied(play->icon().pixmap(QSize(50, 50), 2.0).toImage()),
             premultiplied(QImage(QStringLiteral(":/grafik/play@2x.png"))));
}

QTEST_MAIN(TestHiDpi)
#include "tst_hidpi.moc"
