// Times a search from newSearch() to the first, the 50th and the 250th listed row, and reports
// the peak resident memory with 250 rows listed. Runs against the catalogue service on
// loopback: either one it starts itself (--catalog BINARY, the demo library) or a running one
// (--url URL). Figures go to standard output.

#include "curlnetwork.h"
#include "searcher.h"
#include "song.h"
#include "songlist.h"

#include "procstatus.h"

#include <QApplication>
#include <QBuffer>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QMovie>
#include <QProcess>
#include <QScrollArea>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTextStream>
#include <QThread>
#include <QTimer>

#include <array>
#include <cstdio>

namespace {

struct Run
{
    double firstPage = -1;
    double firstRow = -1;
    double row50 = -1;
    double row250 = -1;
    int rows = 0;
    bool failed = false;
    QString message;
};

QString ms(double value)
{
    return value < 0 ? QStringLiteral("-") : QString::number(value, 'f', 1) + QStringLiteral(" ms");
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Search latency and memory benchmark"));
    parser.addHelpOption();
    QCommandLineOption catalogOption(
        QStringLiteral("catalog"), QStringLiteral("catalogue service binary to start"),
        QStringLiteral("binary"), QStringLiteral(LARKSPIN_CATALOG_BINARY));
    QCommandLineOption urlOption(QStringLiteral("url"),
                                 QStringLiteral("use a running service at this base URL"),
                                 QStringLiteral("url"));
    QCommandLineOption queryOption(QStringLiteral("query"),
                                   QStringLiteral("query that reaches the 250-track cap"),
                                   QStringLiteral("text"), QStringLiteral("love"));
    QCommandLineOption runsOption(QStringLiteral("runs"), QStringLiteral("searches to time"),
                                  QStringLiteral("n"), QStringLiteral("5"));
    parser.addOptions({catalogOption, urlOption, queryOption, runsOption});
    parser.process(app);
    QTextStream out(stdout);

    QProcess service;
    QTemporaryDir scratch;
    QUrl serviceUrl(parser.value(urlOption));
    if (serviceUrl.isEmpty()) {
        const QString binary = parser.value(catalogOption);
        if (!QFile::exists(binary)) {
            out << "catalogue service not found: " << binary << Qt::endl;
            return 2;
        }
        const QString portFile = scratch.filePath(QStringLiteral("port"));
        const QString logFile = scratch.filePath(QStringLiteral("catalog.log"));
        service.setStandardOutputFile(logFile);
        service.setStandardErrorFile(logFile, QIODevice::Append);
        // The demo library is generated under the data folder: keep it out of the user's.
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        if (!environment.contains(QStringLiteral("XDG_DATA_HOME")))
            environment.insert(QStringLiteral("XDG_DATA_HOME"), scratch.path());
        service.setProcessEnvironment(environment);
        service.start(binary, {QStringLiteral("--demo"), QStringLiteral("--listen"),
                               QStringLiteral("127.0.0.1:0"), QStringLiteral("--db"),
                               scratch.filePath(QStringLiteral("catalog.sqlite")),
                               QStringLiteral("--port-file"), portFile});
        if (!service.waitForStarted()) {
            out << "could not start " << binary << Qt::endl;
            return 2;
        }
        QElapsedTimer waited;
        waited.start();
        QByteArray port;
        while (port.isEmpty() && waited.elapsed() < 300000
               && service.state() == QProcess::Running) {
            QFile file(portFile);
            if (file.open(QIODevice::ReadOnly))
                port = file.readAll().trimmed();
            if (port.isEmpty())
                QThread::msleep(50);
        }
        if (port.isEmpty()) {
            QFile log(logFile);
            log.open(QIODevice::ReadOnly);
            out << "the catalogue service did not come up:\n" << log.readAll() << Qt::endl;
            return 2;
        }
        serviceUrl = QUrl(QStringLiteral("http://127.0.0.1:") + QString::fromLatin1(port));
        out << "service " << serviceUrl.toString() << " ready after " << waited.elapsed() << " ms"
            << Qt::endl;
    }

    // The pieces the main window would hand over.
    QWidget window;
    auto *searchingLabel = new QLabel(&window);
    auto *refineHint = new QLabel(&window);
    QMovie loader(QStringLiteral(":/grafik/loader.gif"));
    searchingLabel->setMovie(&loader);
    QString musicFolder = scratch.path();
    CurlNetwork network;
    CurlNetwork transferNetwork;
    QList<Song *> songs;
    std::array<QTemporaryFile *, SongList::AdCount> adImageFiles{};
    std::array<QBuffer *, SongList::AdCount> adTextBuffers{};
    for (int i = 0; i < SongList::AdCount; ++i) {
        adImageFiles[i] = new QTemporaryFile(&window);
        adImageFiles[i]->open();
        adTextBuffers[i] = new QBuffer(&window);
    }
    Searcher searcher(&songs, searchingLabel, &loader, refineHint, &musicFolder, &network,
                      &transferNetwork, serviceUrl);
    auto *scrollArea = new QScrollArea(&window);
    scrollArea->setGeometry(0, 0, 380, 400);
    auto *list = new SongList(adImageFiles.data(), adTextBuffers.data());
    scrollArea->setWidget(list);
    QObject::connect(&searcher, &Searcher::newSearchPerformed, list, &SongList::empty);
    QObject::connect(&searcher, &Searcher::addSong, list, &SongList::addSong);
    window.resize(380, 520);
    window.show();

    QCoreApplication::processEvents();
    const qint64 rssBefore = ProcStatus::kibibytes("VmRSS:");
    const int runs = qMax(1, parser.value(runsOption).toInt());
    QString query = QString::fromLatin1(QUrl::toPercentEncoding(parser.value(queryOption)));
    QList<Run> results;
    qint64 hwmAt250 = -1;
    for (int i = 0; i < runs; ++i) {
        Run run;
        QEventLoop loop;
        QElapsedTimer clock;
        const auto connections = {
            QObject::connect(&searcher, &Searcher::queryDone, &loop,
                             [&](bool success) {
                                 if (run.firstPage < 0)
                                     run.firstPage = clock.nsecsElapsed() / 1e6;
                                 if (!success) {
                                     run.failed = true;
                                     run.message = searcher.message();
                                     loop.quit();
                                 }
                             }),
            QObject::connect(list, &SongList::songsShown, &loop,
                             [&](int count) {
                                 const double now = clock.nsecsElapsed() / 1e6;
                                 run.rows = count;
                                 if (count == 1)
                                     run.firstRow = now;
                                 if (count == 50)
                                     run.row50 = now;
                                 if (count == Searcher::MaxAccepted) {
                                     run.row250 = now;
                                     loop.quit();
                                 }
                             }),
        };
        // A search that ends short of the cap ends with the animation stopped.
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
            if (!run.failed && run.firstPage >= 0 && loader.state() != QMovie::Running)
                loop.quit();
        });
        poll.start(20);
        QTimer::singleShot(60000, &loop, &QEventLoop::quit);

        clock.start();
        searcher.newSearch(&query);
        loop.exec();
        for (const auto &c : connections)
            QObject::disconnect(c);
        if (run.row250 >= 0) {
            QCoreApplication::processEvents(); // let the last rows paint
            hwmAt250 = qMax(hwmAt250, ProcStatus::kibibytes("VmHWM:"));
        }
        results.append(run);
    }

    out << "query \"" << parser.value(queryOption) << "\", " << runs << " searches\n";
    out << "run  first page   first row     row 50    row 250  rows\n";
    for (int i = 0; i < results.size(); ++i) {
        const Run &r = results.at(i);
        out << QStringLiteral("%1  %2 %3 %4 %5  %6")
                   .arg(i + 1, 3)
                   .arg(ms(r.firstPage), 10)
                   .arg(ms(r.firstRow), 10)
                   .arg(ms(r.row50), 10)
                   .arg(ms(r.row250), 10)
                   .arg(r.rows, 4);
        if (r.failed)
            out << "  failed: " << r.message;
        out << "\n";
    }
    out << "peak RSS with 250 rows listed: "
        << (hwmAt250 < 0 ? QStringLiteral("-") : QString::number(hwmAt250 / 1024.0, 'f', 1))
        << " MiB (before the first search " << rssBefore / 1024.0 << " MiB, now "
        << ProcStatus::kibibytes("VmRSS:") / 1024.0 << " MiB)\n";
    out << "targets: first row 100 ms, 250 rows 1500 ms, under 80 MB" << Qt::endl;

    qDeleteAll(songs);
    songs.clear();
    if (service.state() == QProcess::Running) {
        service.terminate();
        if (!service.waitForFinished(2000)) {
            service.kill();
            service.waitForFinished(2000);
        }
    }
    return 0;
}
