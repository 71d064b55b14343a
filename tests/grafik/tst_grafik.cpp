#include "grafikpicture.h"

#include <QDir>
#include <QGuiApplication>
#include <QIcon>
#include <QImage>
#include <QImageReader>
#include <QMovie>
#include <QPixmap>
#include <QResource>
#include <QSize>
#include <QtTest>

// The collection is what the skin, the buttons and the style sheets draw from: a missing
// picture, a wrong size or a lost alpha channel shows up as a broken window, not an error.
class TestGrafik : public QObject
{
    Q_OBJECT

private slots:
    void picture_data();
    void picture();
    void collectionHoldsNothingElse();
    void loaderAnimation();
    void skinLoadsAsPixmap();
    void resolvesToDoubleAtRatio2_data();
    void resolvesToDoubleAtRatio2();
    void plainAtRatio1();
};

void TestGrafik::picture_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("format");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<bool>("alpha");

    struct Row
    {
        const char *name;
        int w, h;
        bool alpha;
    };
    const Row rows[] = {
        {"player.png", 380, 520, false},   {"exe.png", 48, 48, true},
        {"search.png", 80, 30, false},     {"play.png", 50, 50, true},
        {"stop.png", 50, 50, true},        {"ps_off.png", 50, 50, true},
        {"ps_on.png", 50, 50, true},       {"next_off.png", 85, 40, true},
        {"next_on.png", 85, 40, true},     {"prev_off.png", 85, 40, true},
        {"prev_on.png", 85, 40, true},     {"exit_off.png", 14, 13, true},
        {"exit_on.png", 14, 13, true},     {"minimize_off.png", 14, 13, true},
        {"minimize_on.png", 14, 13, true}, {"groove.png", 78, 22, true},
        {"handle.png", 19, 19, true},      {"up.png", 5, 6, true},
        {"down.png", 5, 6, true},          {"action.png", 5, 5, true},
    };
    for (const Row &r : rows) {
        const QString path = QStringLiteral(":/grafik/") + QLatin1String(r.name);
        QTest::newRow(r.name) << path << QByteArray("png") << QSize(r.w, r.h) << r.alpha;
        QTest::addRow("%s@2x", r.name) << GrafikPicture::fileName(path, 2) << QByteArray("png")
                                       << QSize(r.w, r.h) * 2 << r.alpha;
    }
    QTest::newRow("loader.gif") << QStringLiteral(":/grafik/loader.gif") << QByteArray("gif")
                                << QSize(16, 16) << true;
    QTest::newRow("loader@2x.gif")
        << QStringLiteral(":/grafik/loader@2x.gif") << QByteArray("gif") << QSize(32, 32) << true;
}

void TestGrafik::picture()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, format);
    QFETCH(QSize, size);
    QFETCH(bool, alpha);

    QResource resource(path);
    QVERIFY2(resource.isValid(), qPrintable(path));
    QCOMPARE(resource.compressionAlgorithm(), QResource::NoCompression);

    QImageReader reader(path);
    QCOMPARE(reader.format(), format);
    const QImage image = reader.read();
    QVERIFY2(!image.isNull(), qPrintable(reader.errorString()));
    QCOMPARE(image.size(), size);
    QCOMPARE(image.hasAlphaChannel(), alpha);
}

void TestGrafik::collectionHoldsNothingElse()
{
    QCOMPARE(QDir(QStringLiteral(":/grafik")).entryList(QDir::Files).size(), 42);
}

void TestGrafik::loaderAnimation()
{
    QImageReader reader(QStringLiteral(":/grafik/loader.gif"));
    QVERIFY(reader.supportsAnimation());
    QCOMPARE(reader.imageCount(), 8);
    QCOMPARE(reader.loopCount(), -1); // -1: repeats forever

    QMovie movie(QStringLiteral(":/grafik/loader.gif"));
    QVERIFY(movie.isValid());
    QCOMPARE(movie.frameCount(), 8);
    for (int frame = 0; frame < 8; ++frame) {
        QVERIFY(movie.jumpToFrame(frame));
        QCOMPARE(movie.nextFrameDelay(), 100);
        QCOMPARE(movie.currentImage().size(), QSize(16, 16));
    }
}

void TestGrafik::skinLoadsAsPixmap()
{
    const QPixmap skin(QStringLiteral(":/grafik/player.png"));
    QCOMPARE(skin.size(), QSize(380, 520));
    QVERIFY(!skin.hasAlphaChannel());
}

void TestGrafik::resolvesToDoubleAtRatio2_data()
{
    QTest::addColumn<QString>("path");
    const QStringList names = QDir(QStringLiteral(":/grafik")).entryList(QDir::Files);
    for (const QString &name : names) {
        if (!name.contains(QLatin1String("@2x")))
            QTest::newRow(qPrintable(name)) << QStringLiteral(":/grafik/") + name;
    }
}

// CTest runs this suite with QT_SCALE_FACTOR=2: the application's device pixel ratio is 2,
// as on a 2x screen. Every way the window loads a picture must then draw its 2x file.
void TestGrafik::resolvesToDoubleAtRatio2()
{
    QFETCH(QString, path);
    QCOMPARE(qApp->devicePixelRatio(), 2.0);
    const QString doubled = GrafikPicture::fileName(path, 2);
    QCOMPARE(doubled, QString(path).replace(QLatin1Char('.'), QLatin1String("@2x.")));
    const QImage expected = QImage(doubled).convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QCOMPARE(expected.size(), QImage(path).size() * 2);

    // Labels: the pixmap covers the plain picture's area at twice its pixels.
    const QPixmap label = GrafikPicture::pixmap(path, qApp->devicePixelRatio());
    QCOMPARE(label.devicePixelRatio(), 2.0);
    QCOMPARE(label.deviceIndependentSize().toSize(), QImage(path).size());

    if (path.endsWith(QLatin1String(".gif"))) {
        QMovie movie(GrafikPicture::fileName(path, qApp->devicePixelRatio()));
        QVERIFY(movie.jumpToFrame(0));
        QCOMPARE(movie.currentPixmap().devicePixelRatio(), 2.0);
        QCOMPARE(movie.currentImage().size(), QSize(32, 32));
        return;
    }
    QCOMPARE(label.toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied), expected);
    // Buttons and style sheets: QIcon, asked for the plain file, draws the 2x one.
    const QIcon icon(path);
    const QPixmap drawn = icon.pixmap(QImage(path).size(), 2.0);
    QCOMPARE(drawn.devicePixelRatio(), 2.0);
    QCOMPARE(drawn.toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied), expected);
}

void TestGrafik::plainAtRatio1()
{
    QCOMPARE(GrafikPicture::fileName(QStringLiteral(":/grafik/player.png"), 1),
             QStringLiteral(":/grafik/player.png"));
    QCOMPARE(GrafikPicture::pixmap(QStringLiteral(":/grafik/player.png"), 1).devicePixelRatio(),
             1.0);
    // No 2x drawing: the plain one.
    QCOMPARE(GrafikPicture::fileName(QStringLiteral(":/grafik/none.png"), 2),
             QStringLiteral(":/grafik/none.png"));
}

QTEST_MAIN(TestGrafik)
#include "tst_grafik.moc"
