#include "catalogcheck.h"
#include "filenamecheck.h"
#include "linkscheck.h"
#include "mp3check.h"
#include "robotscheck.h"
#include "subsoniccheck.h"
#include "xspfcheck.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QtTest>

// Each input goes through the same entry point as in its fuzz target. A broken check or a
// sanitizer finding ends the process, which names the check and fails the test.
class TestFuzzRegress : public QObject
{
    Q_OBJECT

private slots:
    void replay_data();
    void replay();
};

void TestFuzzRegress::replay_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("path");

    const QDir root(QStringLiteral(FUZZ_DATA));
    int regressions = 0;
    for (const QString &kind : {QStringLiteral("regressions"), QStringLiteral("corpus")}) {
        for (const QString &target :
             {QStringLiteral("xspf"), QStringLiteral("filename"), QStringLiteral("mp3"),
              QStringLiteral("catalog"), QStringLiteral("robots"), QStringLiteral("links"),
              QStringLiteral("subsonic")}) {
            QDirIterator files(root.filePath(kind + QLatin1Char('/') + target), QDir::Files);
            QStringList paths;
            while (files.hasNext())
                paths.append(files.next());
            paths.sort();
            for (const QString &path : paths) {
                const QString name = kind + QLatin1Char('/') + target + QLatin1Char('/')
                                     + QFileInfo(path).fileName();
                QTest::newRow(qPrintable(name)) << target << path;
                if (kind == QLatin1String("regressions"))
                    ++regressions;
            }
        }
    }
    // The kept inputs are what this test is for; finding none means the path is wrong.
    QVERIFY(regressions > 0);
}

void TestFuzzRegress::replay()
{
    QFETCH(QString, target);
    QFETCH(QString, path);

    QFile file(path);
    QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(path));
    const QByteArray input = file.readAll();
    const auto *data = reinterpret_cast<const uint8_t *>(input.constData());
    const auto size = size_t(input.size());

    if (target == QLatin1String("xspf"))
        XspfCheck::run(data, size);
    else if (target == QLatin1String("filename"))
        FileNameCheck::run(data, size);
    else if (target == QLatin1String("mp3"))
        Mp3Check::run(data, size);
    else if (target == QLatin1String("links"))
        LinksCheck::run(data, size);
    else if (target == QLatin1String("robots"))
        RobotsCheck::run(data, size);
    else if (target == QLatin1String("subsonic"))
        SubsonicCheck::run(data, size);
    else
        CatalogCheck::run(data, size);
}

QTEST_GUILESS_MAIN(TestFuzzRegress)
#include "tst_fuzzregress.moc"
