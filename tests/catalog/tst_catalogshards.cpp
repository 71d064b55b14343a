// The catalogue over several machines, on one: shards served by Debian's xapian-tcpsrv (and
// copied by xapian-replicate), a front searching them, and real larkspin-catalog nodes.

#include "demolibrary.h"
#include "fulltextreader.h"
#include "fulltextwriter.h"
#include "searchquery.h"
#include "shardfront.h"

#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>

#include <xapian.h>

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <csignal>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <unistd.h>

using namespace catalog;

namespace {

quint16 freePort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

bool answersRemote(quint16 port)
{
    try {
        Xapian::Remote::open("127.0.0.1", port, 2000, 2000);
        return true;
    } catch (const Xapian::Error &) {
        return false;
    }
}

// xapian-tcpsrv over one index, in a process group of its own: it forks a server for each
// connection, and a dead machine takes them all.
class TcpServer
{
public:
    TcpServer(const QString &index, quint16 port)
        : m_index(index)
        , m_port(port)
    {}
    ~TcpServer() { kill(SIGKILL); }

    bool start()
    {
        m_process = std::make_unique<QProcess>();
        m_process->setChildProcessModifier([] { ::setsid(); });
        m_process->start("xapian-tcpsrv", {"--quiet", "--interface", "127.0.0.1", "--port",
                                           QString::number(m_port), m_index});
        if (!m_process->waitForStarted(5000))
            return false;
        for (int i = 0; i < 100; ++i) {
            if (answersRemote(m_port))
                return true;
            QTest::qWait(50);
        }
        return false;
    }
    void kill(int signal)
    {
        if (m_process && m_process->state() != QProcess::NotRunning) {
            ::kill(-pid_t(m_process->processId()), signal);
            if (signal == SIGKILL)
                m_process->waitForFinished(5000);
        }
    }
    QString address() const { return QStringLiteral("127.0.0.1:%1").arg(m_port); }
    quint16 port() const { return m_port; }

private:
    QString m_index;
    quint16 m_port;
    std::unique_ptr<QProcess> m_process;
};

} // namespace

class TestCatalogShards : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void frontRanksAsOneIndex();
    void frontSurvivesShardsDying();
    void nodesAndFront();

private:
    ShardSettings settings(int timeoutMs) const;
    bool waitUntilUp(ShardFront &front, size_t shard, size_t copy);

    QTemporaryDir m_dir;
    std::string m_whole;
    std::vector<std::unique_ptr<TcpServer>> m_servers;
};

void TestCatalogShards::initTestCase()
{
    QVERIFY(m_dir.isValid());
    // One index of every track, and three that hold every third each, dealt in turn: then
    // Xapian's interleaving of the shards' ids is the whole index's order, and ties, which go
    // by id, fall alike. Titles from a few words, some tracks longer, so that weights tie
    // often and differ by length; an address stands for each track.
    m_whole = m_dir.filePath("whole").toStdString();
    FullTextWriter whole;
    FullTextWriter shards[3];
    bool fresh = false;
    std::string error;
    QVERIFY2(whole.open(m_whole, &fresh, &error), error.c_str());
    for (int i = 0; i < 3; ++i) {
        const std::string path = m_dir.filePath(QStringLiteral("shard%1").arg(i)).toStdString();
        QVERIFY2(shards[i].open(path, &fresh, &error), error.c_str());
        QVERIFY(shards[i].begin());
    }
    QVERIFY(whole.begin());
    const char *words[] = {"river", "rivet",  "night", "nightly", "blue", "moon",
                           "love",  "lovely", "home",  "stone",   "road", "rain"};
    std::mt19937 random(7);
    // Some words far more frequent than others, so that the words' idfs weigh against each
    // other when a track has one in its title and the other in its album or file name.
    std::geometric_distribution<int> skewed(0.3);
    const auto word = [&] {
        return words[std::min(skewed(random), 11)];
    };
    const int tracks = 36000;
    // Two families of words that share a beginning, one common and one rare, whose
    // frequencies at 36,000 tracks give weights that, scaled to one, cannot be made the same
    // to the last bit: for the last word cut to "za" or "qa", one node's matcher must not stop
    // at a page of ties (see the prefix queries).
    const std::pair<std::string, std::vector<int>> families[] = {
        {"za",
         {2178, 1292, 244, 216, 138, 68, 59, 57, 40, 33, 32, 26, 23, 22, 19, 16, 16, 15, 14, 12}},
        {"qa", {151, 122, 56, 52, 46, 27, 23, 23, 22, 18, 17, 17, 15, 14, 14, 13, 11, 10, 10, 10}}};
    std::vector<std::string> familyWords;
    for (const auto &[family, counts] : families) {
        for (size_t j = 0; j < counts.size(); ++j)
            familyWords.insert(familyWords.end(), size_t(counts[j]), family + char('a' + j) + "x");
    }
    familyWords.resize(tracks);
    std::shuffle(familyWords.begin(), familyWords.end(), random);
    for (int n = 1; n <= tracks; ++n) {
        TrackRecord track;
        track.id = n;
        // Most tracks have "common" and one in three "third", for totals over 10,000.
        track.title = std::string(n % 3 ? "common " : "third common ") + word();
        if (random() % 2)
            track.title += std::string(" ") + word();
        if (!familyWords[size_t(n - 1)].empty())
            track.title += " " + familyWords[size_t(n - 1)];
        // Words in the album and the file name count less; in the title and the creator at
        // once, as much as in the title.
        track.creator = random() % 4 ? word() : "";
        track.album = random() % 5 ? "" : "long album title with words";
        if (random() % 3 == 0)
            track.album += std::string(" ") + word();
        if (random() % 3 == 0)
            track.fileName = word();
        track.path = "http://music.test/" + std::to_string(n) + ".mp3";
        whole.put(track);
        track.id = (n - 1) / 3 + 1;
        shards[(n - 1) % 3].put(track);
    }
    QVERIFY(whole.finish());
    for (auto &shard : shards)
        QVERIFY(shard.finish());

    for (int i = 0; i < 3; ++i) {
        m_servers.push_back(std::make_unique<TcpServer>(
            m_dir.filePath(QStringLiteral("shard%1").arg(i)), freePort()));
        QVERIFY(m_servers.back()->start());
    }
}

ShardSettings TestCatalogShards::settings(int timeoutMs) const
{
    ShardSettings settings;
    for (const auto &server : m_servers)
        settings.shards.push_back({server->address().toStdString()});
    settings.timeout = std::chrono::milliseconds(timeoutMs);
    return settings;
}

bool TestCatalogShards::waitUntilUp(ShardFront &front, size_t shard, size_t copy)
{
    for (int i = 0; i < 200; ++i) {
        if (front.status()[shard].copies[copy].up)
            return true;
        QTest::qWait(50);
    }
    return false;
}

void TestCatalogShards::frontRanksAsOneIndex()
{
    ShardFront front(settings(2000));
    std::string error;
    QVERIFY2(front.start(&error), error.c_str());
    FullTextReader one(m_whole);
    Xapian::Database whole(m_whole);
    const auto addresses = [](const SearchPage &page) {
        std::vector<std::string> found;
        for (const auto &track : page.tracks)
            found.push_back(track.path);
        return found;
    };
    const auto oneAddresses = [&](const FullTextReader::Matches &matches) {
        std::vector<std::string> found;
        for (const int64_t id : matches.ids)
            found.push_back("http://music.test/" + std::to_string(id) + ".mp3");
        return found;
    };
    const auto exactCount = [&whole](const char *text) {
        Xapian::Enquire enquire(whole);
        const auto words = SearchQuery(text).words();
        enquire.set_query(
            FullTextReader::stockQuery(words, FullTextReader::expansion(whole, words.back())));
        return int64_t(enquire.get_mset(0, 0, whole.get_doccount()).get_matches_estimated());
    };

    // Whole words: the same pages, first, middle and last, and the same totals; above 10,000
    // the front counts exactly and one index estimates within 5 %.
    for (const char *text :
         {"moon", "blue moon", "river rain", "river moon", "night rivet", "common", "third common",
          "common third", "rain road", "long album", "qaax road", "road qabx", "zadx road river"}) {
        const int64_t exact = exactCount(text);
        QVERIFY(exact > 0);
        for (const int64_t start : {int64_t(0), exact / 2, std::max<int64_t>(0, exact - 20)}) {
            const SearchPage page = front.search(SearchQuery(text), start, 50);
            const FullTextReader::Matches matches = one.search(SearchQuery(text), start, 50);
            QVERIFY(!page.partial);
            QCOMPARE(addresses(page), oneAddresses(matches));
            QCOMPARE(page.total, exact);
            if (exact <= FullTextReader::exactTotals)
                QCOMPARE(matches.total, exact);
            else
                QVERIFY2(std::abs(matches.total - exact) <= exact / 20,
                         (std::string(text) + ": " + std::to_string(matches.total)).c_str());
        }
    }
    // A last word cut short: the same pages too, whether its completions are common together
    // (read into memory on one node) or not, alone or after a word, and whether their weights
    // are the same to the last bit or not.
    QVERIFY(FullTextReader::expansion(whole, "riv").sameWeight);
    QVERIFY(!FullTextReader::expansion(whole, "za").sameWeight);
    QVERIFY(!FullTextReader::expansion(whole, "qa").sameWeight);
    for (const char *text :
         {"rain riv", "road nigh", "stone lov", "riv", "lo", "common ni", "third r", "rivet nig",
          "za", "common za", "third za", "qa", "common qa", "rivet qa", "road qa"}) {
        const int64_t exact = exactCount(text);
        QVERIFY(exact > 0);
        for (const int64_t start : {int64_t(0), exact / 3, std::max<int64_t>(0, exact - 20)}) {
            const SearchPage page = front.search(SearchQuery(text), start, 50);
            QCOMPARE(addresses(page), oneAddresses(one.search(SearchQuery(text), start, 50)));
            QCOMPARE(page.total, exact);
        }
    }
    // A search's bits made from a list are gone by the next search: no track has two words of
    // a family, and some have "road", whose bits the searches above made.
    for (const char *text : {"qacx qaax", "zafx zadx", "zaex zacx"})
        QCOMPARE(one.search(SearchQuery(text), 0, 50).total, int64_t(0));
    QCOMPARE(front.trackCount(), int64_t(36000));

    // A node goes on indexing while it serves: its commits, and the compacted copy that takes
    // its index's place (a new database whose revisions start again, so that one may have the
    // number the old one had), reach the front's next searches, and the node's own.
    const std::string growing = m_dir.filePath("growing").toStdString();
    FullTextWriter writer;
    bool fresh = false;
    QVERIFY2(writer.open(growing, &fresh, &error), error.c_str());
    const auto add = [&writer](int64_t from, int64_t to) {
        QVERIFY(writer.begin());
        for (int64_t id = from; id <= to; ++id) {
            TrackRecord track;
            track.id = id;
            track.title = "growing " + std::to_string(id);
            track.path = "http://music.test/g" + std::to_string(id) + ".mp3";
            writer.put(track);
        }
        QVERIFY(writer.finish());
    };
    add(1, 10);
    TcpServer server(QString::fromStdString(growing), freePort());
    QVERIFY(server.start());
    ShardSettings single;
    single.shards = {{server.address().toStdString()}};
    ShardFront growingFront(single);
    QVERIFY2(growingFront.start(&error), error.c_str());
    QCOMPARE(growingFront.search(SearchQuery("growing"), 0, 10).total, int64_t(10));
    FullTextReader local(growing);
    QCOMPARE(local.search(SearchQuery("growing"), 0, 10).total, int64_t(10));
    // Past 1,000 changed documents the index is compacted: at 1,500 and again at 4,000.
    int64_t last = 10;
    for (const int64_t to : {int64_t(20), int64_t(1500), int64_t(4000)}) {
        add(last + 1, to);
        last = to;
        QTest::qWait(1500);
        // The node's own reader, whose counts in memory belong to one revision.
        QCOMPARE(local.search(SearchQuery("growing"), 0, 10).total, to);
        QCOMPARE(local.search(SearchQuery("growing"), to - 1, 10).ids.size(), size_t(1));
        const SearchPage page = growingFront.search(SearchQuery("growing"), 0, 10);
        QVERIFY(!page.partial);
        QCOMPARE(page.total, to);
        QCOMPARE(growingFront.search(SearchQuery(std::to_string(to)), 0, 10).total, int64_t(1));
    }
}

void TestCatalogShards::frontSurvivesShardsDying()
{
    // The third shard has a copy, made by xapian-replicate from a replication server.
    const quint16 replicationPort = freePort();
    QProcess replicationServer;
    replicationServer.start(
        "xapian-replicate-server",
        {"-I", "127.0.0.1", "-p", QString::number(replicationPort), m_dir.path()});
    QVERIFY(replicationServer.waitForStarted(5000));
    const QString copyPath = m_dir.filePath("copy2");
    bool copied = false;
    for (int i = 0; i < 50 && !copied; ++i) {
        QProcess replicate;
        replicate.start("xapian-replicate",
                        {"-h", "127.0.0.1", "-p", QString::number(replicationPort), "-m", "shard2",
                         "-o", "-q", copyPath});
        copied = replicate.waitForFinished(20000) && replicate.exitCode() == 0;
        if (!copied)
            QTest::qWait(100);
    }
    replicationServer.kill();
    replicationServer.waitForFinished(5000);
    QVERIFY(copied);
    TcpServer copy(copyPath, freePort());
    QVERIFY(copy.start());

    ShardSettings withCopy = settings(700);
    withCopy.shards[2].push_back(copy.address().toStdString());
    ShardFront front(withCopy);
    std::string error;
    QVERIFY2(front.start(&error), error.c_str());
    const SearchQuery query("blue moon");
    const SearchPage full = front.search(query, 0, 50);
    QVERIFY(!full.partial);
    QCOMPARE(full.tracks.size(), size_t(50));

    // A shard that dies is left out at once: the others' page, marked partial.
    m_servers[0]->kill(SIGKILL);
    SearchPage page = front.search(query, 0, 50);
    QVERIFY(page.partial);
    QVERIFY(page.total > 0 && page.total < full.total);
    QVERIFY(!front.status()[0].copies[0].up);
    // One that hangs costs one search the timeout, and no other search waits on it.
    m_servers[1]->kill(SIGSTOP);
    QElapsedTimer timer;
    timer.start();
    page = front.search(query, 0, 50);
    QVERIFY(page.partial);
    QVERIFY(timer.elapsed() < 5000);
    QVERIFY(!front.status()[1].copies[0].up);
    timer.restart();
    for (int i = 0; i < 5; ++i)
        QVERIFY(front.search(SearchQuery("moon"), i, 10).partial);
    QVERIFY2(timer.elapsed() < 700, std::to_string(timer.elapsed()).c_str());

    // The page is whole again once they answer.
    m_servers[1]->kill(SIGCONT);
    QVERIFY(m_servers[0]->start());
    QVERIFY(waitUntilUp(front, 0, 0));
    QVERIFY(waitUntilUp(front, 1, 0));
    page = front.search(query, 0, 50);
    QVERIFY(!page.partial);
    QCOMPARE(page.total, full.total);

    // A copy takes over at once from its primary, searched first by a new front.
    ShardFront fresh(withCopy);
    QVERIFY2(fresh.start(&error), error.c_str());
    QVERIFY(!fresh.search(SearchQuery("rain"), 0, 10).partial);
    m_servers[2]->kill(SIGKILL);
    for (int i = 0; i < 3; ++i) {
        page = fresh.search(query, 0, 50);
        QVERIFY(!page.partial);
        QCOMPARE(page.total, full.total);
        std::vector<std::string> before, after;
        for (size_t j = 0; j < page.tracks.size(); ++j) {
            before.push_back(full.tracks[j].path);
            after.push_back(page.tracks[j].path);
        }
        QCOMPARE(after, before);
    }
    QVERIFY(!fresh.status()[2].copies[0].up);
    QVERIFY(fresh.status()[2].copies[1].up);
    QVERIFY(m_servers[2]->start());
    QVERIFY(waitUntilUp(fresh, 2, 0));
}

namespace {

// A larkspin-catalog process on a free loopback port.
class Service
{
public:
    explicit Service(const QString &dir)
        : m_dir(dir)
    {}
    ~Service() { kill(SIGKILL); }

    bool start(const QStringList &arguments)
    {
        const QString portFile = m_dir + "/port";
        QFile::remove(portFile);
        m_process.setStandardErrorFile(m_dir + "/service.log", QIODevice::Append);
        m_process.start(LARKSPIN_CATALOG_BIN,
                        QStringList{"--listen", "127.0.0.1:0", "--port-file", portFile}
                            + arguments);
        if (!m_process.waitForStarted(5000))
            return false;
        for (int i = 0; i < 400 && m_process.state() == QProcess::Running; ++i) {
            QFile file(portFile);
            if (file.open(QIODevice::ReadOnly)
                && (m_port = quint16(file.readAll().trimmed().toUInt())))
                return true;
            QTest::qWait(25);
        }
        return false;
    }
    void kill(int signal)
    {
        if (m_process.state() != QProcess::NotRunning) {
            ::kill(pid_t(m_process.processId()), signal);
            m_process.waitForFinished(5000);
        }
    }
    QProcess &process() { return m_process; }
    quint16 port() const { return m_port; }
    QString log() const
    {
        QFile file(m_dir + "/service.log");
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

private:
    QString m_dir;
    QProcess m_process;
    quint16 m_port = 0;
};

struct Reply
{
    QByteArray head, body;
};

Reply get(quint16 port, const QByteArray &path)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    Reply reply;
    if (!socket.waitForConnected(5000))
        return reply;
    socket.write("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    QByteArray all;
    while (socket.waitForReadyRead(10000) || socket.bytesAvailable())
        all += socket.readAll();
    const int split = all.indexOf("\r\n\r\n");
    reply.head = all.left(split);
    reply.body = all.mid(split + 4);
    return reply;
}

QStringList titles(const QByteArray &xspf)
{
    QStringList found;
    for (int at = xspf.indexOf("<title>"); at >= 0; at = xspf.indexOf("<title>", at + 1))
        found << QString::fromUtf8(xspf.mid(at + 7, xspf.indexOf("</title>", at) - at - 7));
    return found;
}

QByteArray attribute(const QByteArray &xspf, const QByteArray &name)
{
    const QByteArray key = " " + name + "=\"";
    const int at = xspf.indexOf(key);
    if (at < 0)
        return {};
    const int from = at + int(key.size());
    return xspf.mid(from, xspf.indexOf('"', from) - from);
}

} // namespace

void TestCatalogShards::nodesAndFront()
{
    // Thirty tracks of the word, each longer than the last. Three nodes hold a third each, a
    // fourth node all of them.
    const std::string audio = DemoLibrary::encodeMusic(1, 5);
    QStringList folders;
    for (const char *name : {"node0", "node1", "node2", "whole"}) {
        folders << m_dir.filePath(name);
        QVERIFY(QDir().mkpath(folders.last() + "/music"));
    }
    for (int i = 0; i < 30; ++i) {
        QString title = "Nodeword";
        for (int j = 0; j < i; ++j)
            title += " filler" + QString::number(j);
        for (const QString &folder : {folders[i % 3], folders[3]}) {
            const QString path = folder + QStringLiteral("/music/t%1.mp3").arg(i);
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(audio.data(), qint64(audio.size()));
            file.close();
            TagLib::MPEG::File mp3(QFile::encodeName(path).constData(), false);
            mp3.ID3v2Tag(true)->setTitle(TagLib::String(title.toStdString(), TagLib::String::UTF8));
            mp3.ID3v2Tag(true)->setArtist("Noder");
            QVERIFY(mp3.save(TagLib::MPEG::File::ID3v2));
        }
    }
    std::vector<std::unique_ptr<Service>> nodes;
    QStringList shards;
    for (int i = 0; i < 4; ++i) {
        nodes.push_back(std::make_unique<Service>(folders[i]));
        QStringList arguments{"--db", folders[i] + "/catalog.sqlite", folders[i] + "/music"};
        if (i < 3) {
            shards << "--shard" << QStringLiteral("127.0.0.1:%1").arg(freePort());
            arguments << "--serve-shard" << shards.last();
        }
        QVERIFY2(nodes.back()->start(arguments), qPrintable(nodes.back()->log()));
    }
    const QString frontDir = m_dir.filePath("front");
    QVERIFY(QDir().mkpath(frontDir));
    Service front(frontDir);
    QVERIFY2(front.start(shards + QStringList{"--shard-timeout", "0.5"}), qPrintable(front.log()));

    // The same page as the node with every track, the locations on the nodes that serve them.
    const QByteArray search = "/api/v0.2/0123456789012345678901234567890123456789/music/search/";
    const Reply fromFront = get(front.port(), search + "nodeword%20noder/0/50");
    const Reply fromWhole = get(nodes[3]->port(), search + "nodeword%20noder/0/50");
    QCOMPARE(attribute(fromFront.body, "total"), QByteArray("30"));
    QStringList frontTitles = titles(fromFront.body), wholeTitles = titles(fromWhole.body);
    QCOMPARE(frontTitles.size(), 30);
    // Tracks shorter than the average weigh alike and go by id, which differ between one node
    // and three (the scans meet the files in the folders' order); the longer half ranks by
    // length.
    QCOMPARE(frontTitles.mid(15), wholeTitles.mid(15));
    frontTitles.sort();
    wholeTitles.sort();
    QCOMPARE(frontTitles, wholeTitles);
    QVERIFY(!fromFront.head.contains("X-Larkspin-Partial"));
    const int at = fromFront.body.indexOf("<location>http://127.0.0.1:") + 27;
    const quint16 port
        = quint16(fromFront.body.mid(at, fromFront.body.indexOf('/', at) - at).toUInt());
    const QByteArray path = fromFront.body.mid(fromFront.body.indexOf('/', at),
                                               fromFront.body.indexOf("</location>", at)
                                                   - fromFront.body.indexOf('/', at));
    QVERIFY(port == nodes[0]->port() || port == nodes[1]->port() || port == nodes[2]->port());
    QVERIFY(get(port, path).head.startsWith("HTTP/1.1 200"));

    // A node killed: the others' page, marked partial, and the shard down on /status.
    nodes[1]->kill(SIGKILL);
    const Reply partial = get(front.port(), search + "nodeword/0/50");
    QVERIFY(partial.head.contains("X-Larkspin-Partial: 1"));
    QCOMPARE(attribute(partial.body, "total"), QByteArray("20"));
    const QJsonObject status
        = QJsonDocument::fromJson(get(front.port(), "/status.json").body).object();
    const QJsonArray shardStatus = status["shards"].toArray();
    QCOMPARE(shardStatus.size(), 3);
    QVERIFY(shardStatus[0].toObject()["copies"].toArray()[0].toObject()["up"].toBool());
    QVERIFY(!shardStatus[1].toObject()["copies"].toArray()[0].toObject()["up"].toBool());

    // A front with a bad shard address does not start, and says why.
    Service bad(frontDir);
    QVERIFY(!bad.start({"--shard", "127.0.0.1:99999"}));
    bad.process().waitForFinished(5000);
    QCOMPARE(bad.process().exitCode(), 2);
    QVERIFY(bad.log().contains("bad shard address"));
}

QTEST_GUILESS_MAIN(TestCatalogShards)
#include "tst_catalogshards.moc"
