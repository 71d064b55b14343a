// Downloads one large file through Song::download and through curl from the same local HTTP
// server and prints both throughputs, their ratio and the peak resident memory of this process;
// then the same from a server that cuts every transfer at 30 %, 60 % and 90 % of the file, with
// curl resuming with -C - as the reference (both wait 1, 2 and 4 s between tries).
//
// Usage: bench_download [size-in-MiB] [rounds]   (50 MiB and 3 rounds by default)

#include "curlnetwork.h"
#include "song.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// One connection at a time, the file with sendfile: a server that costs next to nothing, so
// both clients are measured rather than the server. It runs in a child process, so its memory
// does not count towards ours. A cutting server honours "Range: bytes=N-" and closes the first
// three transfers of every four at 30 %, 60 % and 90 % of the file.
[[noreturn]] void serve(int listener, const char *path, bool cutting)
{
    const int fd = ::open(path, O_RDONLY);
    struct stat st;
    ::fstat(fd, &st);
    int gets = 0;
    for (;;) {
        const int client = ::accept(listener, nullptr, nullptr);
        if (client < 0)
            continue;
        char request[8192];
        ssize_t got = 0;
        while (got < ssize_t(sizeof request) - 1) {
            const ssize_t n = ::read(client, request + got, sizeof request - 1 - got);
            if (n <= 0)
                break;
            got += n;
            request[got] = 0;
            if (std::strstr(request, "\r\n\r\n"))
                break;
        }
        const bool head = std::strncmp(request, "HEAD ", 5) == 0;
        off_t from = 0;
        off_t to = st.st_size;
        char header[512];
        int len = 0;
        const char *range = cutting ? strcasestr(request, "\r\nRange: bytes=") : nullptr;
        if (range)
            from = std::min<off_t>(std::atoll(range + 15), st.st_size);
        if (cutting && !head) {
            // The first GET of a round is cut at 30 %, the second at 60 %, the third at 90 %:
            // where a resumption starts depends on what the client kept of the cut transfer.
            const int mark = gets++ % 4;
            if (mark < 3)
                to = std::max(from, off_t(double(st.st_size) * 0.3 * (mark + 1)));
        }
        if (range) {
            len = std::snprintf(header, sizeof header,
                                "HTTP/1.1 206 Partial Content\r\nContent-Type: audio/mpeg\r\n"
                                "ETag: \"bench\"\r\nContent-Range: bytes %lld-%lld/%lld\r\n"
                                "Content-Length: %lld\r\nConnection: close\r\n\r\n",
                                (long long)from, (long long)st.st_size - 1, (long long)st.st_size,
                                (long long)(st.st_size - from));
        } else {
            len = std::snprintf(header, sizeof header,
                                "HTTP/1.1 200 OK\r\nContent-Type: audio/mpeg\r\nETag: \"bench\"\r\n"
                                "Accept-Ranges: bytes\r\nContent-Length: %lld\r\n"
                                "Connection: close\r\n\r\n",
                                static_cast<long long>(st.st_size));
        }
        if (::write(client, header, len) == len && !head) {
            off_t offset = from;
            while (offset < to) {
                if (::sendfile(client, fd, &offset, size_t(to - offset)) <= 0)
                    break;
            }
        }
        ::shutdown(client, SHUT_WR);
        while (::read(client, request, sizeof request) > 0) {
        }
        ::close(client);
    }
}

long peakRssKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

void makeFile(const QString &path, qint64 size)
{
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    QByteArray block(1 << 20, Qt::Uninitialized);
    quint32 x = 12345;
    for (char &c : block) {
        x = x * 1103515245u + 12345u;
        c = char(x >> 24);
    }
    for (qint64 written = 0; written < size; written += block.size())
        file.write(block.constData(), std::min<qint64>(block.size(), size - written));
}

// Seconds for one download through Song, or -1 on failure.
double songRound(const QString &url, const QString &folder, CurlNetwork *check,
                 CurlNetwork *transfer)
{
    QFile::remove(folder + QStringLiteral("/Bench - Track.mp3"));
    Song song(QStringLiteral("Track"), QStringLiteral("Bench"), url, &folder, check, transfer);
    int code = -1;
    QEventLoop loop;
    QObject::connect(&song, &Song::downloadReady, &loop, [&](int, int error) {
        code = error;
        loop.quit();
    });
    QElapsedTimer timer;
    timer.start();
    song.download(nullptr, 0);
    loop.exec();
    const double seconds = timer.nsecsElapsed() / 1e9;
    if (code != Song::Downloaded)
        std::fprintf(stderr, "Song: outcome %d\n", code);
    return code == Song::Downloaded ? seconds : -1;
}

// Seconds for one curl download, or -1 on failure. Resuming, curl is run again with -C - after
// each failure, 1, 2 and 4 s later: curl's own --retry starts over from where the run began
// (it truncates what it wrote), which a server that cuts at the same places never lets finish.
double curlRound(const QString &url, const QString &out, bool resuming = false)
{
    QFile::remove(out);
    QElapsedTimer timer;
    timer.start();
    for (int attempt = 0;; ++attempt) {
        QStringList arguments{QStringLiteral("-sS"), QStringLiteral("-o"), out};
        if (resuming)
            arguments << QStringLiteral("-C") << QStringLiteral("-");
        QProcess curl;
        curl.start(QStringLiteral("curl"), arguments << url);
        if (!curl.waitForFinished(120000))
            return -1;
        if (curl.exitCode() == 0)
            return timer.nsecsElapsed() / 1e9;
        if (!resuming || attempt == 3) {
            std::fprintf(stderr, "curl: exit %d: %s\n", curl.exitCode(),
                         curl.readAllStandardError().constData());
            return -1;
        }
        QThread::msleep(1000UL << attempt);
    }
}

} // namespace

int main(int argc, char **argv)
{
    const qint64 mib = argc > 1 ? std::atoll(argv[1]) : 50;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    const qint64 size = mib << 20;

    QTemporaryDir dir;
    const QString source = dir.filePath(QStringLiteral("track.mp3"));
    const QString small = dir.filePath(QStringLiteral("small.mp3"));
    makeFile(source, size);
    makeFile(small, size / 10);

    auto listenOn = [](const char *path, pid_t *child, bool cutting = false) {
        const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        ::listen(listener, 16);
        socklen_t len = sizeof addr;
        ::getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len);
        *child = ::fork();
        if (*child == 0)
            serve(listener, path, cutting);
        ::close(listener);
        return ntohs(addr.sin_port);
    };
    pid_t bigServer = 0;
    pid_t smallServer = 0;
    const quint16 bigPort = listenOn(QFile::encodeName(source).constData(), &bigServer);
    const quint16 smallPort = listenOn(QFile::encodeName(small).constData(), &smallServer);
    pid_t cuttingServer = 0;
    const quint16 cuttingPort
        = listenOn(QFile::encodeName(source).constData(), &cuttingServer, true);

    QCoreApplication app(argc, argv);
    CurlNetwork checkNetwork;
    CurlNetwork transferNetwork;
    const QString folder = dir.filePath(QStringLiteral("music"));
    QDir().mkpath(folder);
    const QString bigUrl = QStringLiteral("http://127.0.0.1:%1/track.mp3").arg(bigPort);
    const QString smallUrl = QStringLiteral("http://127.0.0.1:%1/small.mp3").arg(smallPort);

    const long rssStart = peakRssKiB();
    const double smallSeconds = songRound(smallUrl, folder, &checkNetwork, &transferNetwork);
    const long rssSmall = peakRssKiB();

    QList<double> songTimes;
    QList<double> curlTimes;
    for (int i = 0; i < rounds; ++i) {
        songTimes << songRound(bigUrl, folder, &checkNetwork, &transferNetwork);
        curlTimes << curlRound(bigUrl, dir.filePath(QStringLiteral("curl.out")));
    }
    const long rssBig = peakRssKiB();

    const QString cutUrl = QStringLiteral("http://127.0.0.1:%1/track.mp3").arg(cuttingPort);
    QList<double> songCutTimes;
    QList<double> curlCutTimes;
    bool cutExact = true;
    for (int i = 0; i < rounds; ++i) {
        songCutTimes << songRound(cutUrl, folder, &checkNetwork, &transferNetwork);
        cutExact
            = cutExact && QFileInfo(folder + QStringLiteral("/Bench - Track.mp3")).size() == size;
        curlCutTimes << curlRound(cutUrl, dir.filePath(QStringLiteral("curl.out")), true);
        cutExact = cutExact && QFileInfo(dir.filePath(QStringLiteral("curl.out"))).size() == size;
    }
    ::kill(cuttingServer, SIGTERM);
    ::waitpid(cuttingServer, nullptr, 0);

    ::kill(bigServer, SIGTERM);
    ::kill(smallServer, SIGTERM);
    ::waitpid(bigServer, nullptr, 0);
    ::waitpid(smallServer, nullptr, 0);

    if (smallSeconds < 0 || std::count(songTimes.begin(), songTimes.end(), -1.0)
        || std::count(curlTimes.begin(), curlTimes.end(), -1.0)
        || std::count(songCutTimes.begin(), songCutTimes.end(), -1.0)
        || std::count(curlCutTimes.begin(), curlCutTimes.end(), -1.0) || !cutExact) {
        std::fprintf(stderr, "a download failed (small %.2f; cut files %s)\n", smallSeconds,
                     cutExact ? "whole" : "not whole");
        for (const auto &times : {songTimes, curlTimes, songCutTimes, curlCutTimes}) {
            for (double t : times)
                std::fprintf(stderr, " %.3f", t);
            std::fprintf(stderr, "\n");
        }
        return 1;
    }
    const double songBest = *std::min_element(songTimes.begin(), songTimes.end());
    const double curlBest = *std::min_element(curlTimes.begin(), curlTimes.end());
    auto median = [](QList<double> times) {
        std::sort(times.begin(), times.end());
        return times.at(times.size() / 2);
    };
    const double songMedian = median(songTimes);
    const double curlMedian = median(curlTimes);
    const double mb = double(size) / (1 << 20);
    auto list = [](const QList<double> &times) {
        QString text;
        for (double t : times)
            text += QString::number(t, 'f', 3) + QLatin1Char(' ');
        return text.toStdString();
    };
    std::printf("file: %lld MiB, rounds: %d\n", static_cast<long long>(mib), rounds);
    std::printf("Song::download (transfer + move into the music folder): %s s\n",
                list(songTimes).c_str());
    std::printf("curl -o file:                                           %s s\n",
                list(curlTimes).c_str());
    std::printf("best:   Song %.1f MiB/s, curl %.1f MiB/s, ratio Song/curl %.2f\n", mb / songBest,
                mb / curlBest, curlBest / songBest);
    std::printf("median: Song %.1f MiB/s, curl %.1f MiB/s, ratio Song/curl %.2f\n", mb / songMedian,
                mb / curlMedian, curlMedian / songMedian);
    const double songCut = median(songCutTimes);
    const double curlCut = median(curlCutTimes);
    std::printf("cut at 30/60/90 %%, resumed (1, 2, 4 s between tries): Song %s s, curl -C - %s "
                "s\n",
                list(songCutTimes).c_str(), list(curlCutTimes).c_str());
    std::printf("median: Song %.2f MiB/s, curl %.2f MiB/s, ratio Song/curl %.2f   aim: at least "
                "0.8   [%s]\n",
                mb / songCut, mb / curlCut, curlCut / songCut,
                curlCut / songCut >= 0.8 ? "met" : "MISSED");
    std::printf("peak RSS: %ld KiB at start, %ld KiB after a %lld MiB download, %ld KiB after the "
                "%lld MiB downloads\n",
                rssStart, rssSmall, static_cast<long long>(mib / 10), rssBig,
                static_cast<long long>(mib));
    return 0;
}
