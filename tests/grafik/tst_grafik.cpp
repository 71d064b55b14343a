#include <QDir>
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
    for (const Row &r : rows)
        QTest::newRow(r.name) << QString(QStringLiteral(":/grafik/") + QLatin1String(r.name))
                              << QByteArray("png") << QSize(r.w, r.h) << r.alpha;
    QTest::newRow("loader.gif") << QStringLiteral(":/grafik/loader.gif") << QByteArray("gif")
                                << QSize(16, 16) << true;
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
    QCOMPARE(QDir(QStringLiteral(":/grafik")).entryList(QDir::Files).size(), 21);
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

QTEST_MAIN(TestGrafik)
#include "tst_grafik.moc"
