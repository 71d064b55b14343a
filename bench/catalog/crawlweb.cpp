// Writes the loopback web that run-crawl-bench.sh serves with nginx and crawls.
//   larkspin-crawl-web TEMPLATE.mp3 OUTDIR PORT [HOSTS] [TRACKS] [DIRS]
// For each host 127.0.0.2 onwards, OUTDIR/web/ADDRESS/ holds DIRS directories of TRACKS/DIRS MP3s
// (for nginx's directory listings) and feed.rss, an RSS 2.0 feed with an enclosure for every track.
// Each MP3 is the template's audio behind an ID3v2.3 tag of its own: a three-word title, a two-word
// artist and a one-word album drawn from the search benchmark's vocabulary, so that every title
// differs and searches during the crawl find words. Also writes OUTDIR/seeds.txt (every host's root
// listing and feed) and OUTDIR/queries.txt (request paths for wrk: two words of one title, in
// shuffled order, then single words at several starts).
#include "benchvocabulary.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const char *const apiPrefix = "/api/v0.2/0123456789abcdefghijklmnopqrstuvwxyz0123/music/search/";

uint64_t mix(uint64_t x)
{
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

std::string capitalised(std::string word)
{
    word[0] = char(word[0] - 'a' + 'A');
    return word;
}

void frame(std::string &tag, const char *id, const std::string &text)
{
    const uint32_t size = uint32_t(text.size() + 1);
    tag.append(id, 4);
    for (int shift = 24; shift >= 0; shift -= 8)
        tag += char((size >> shift) & 0xff);
    tag += '\0';
    tag += '\0';
    tag += '\0'; // ISO-8859-1
    tag += text;
}

std::string id3(const std::string &title, const std::string &artist, const std::string &album)
{
    std::string frames;
    frame(frames, "TIT2", title);
    frame(frames, "TPE1", artist);
    frame(frames, "TALB", album);
    const uint32_t size = uint32_t(frames.size());
    std::string tag = "ID3";
    tag += char(3);
    tag += char(0);
    tag += char(0);
    for (int shift = 21; shift >= 0; shift -= 7)
        tag += char((size >> shift) & 0x7f); // synchsafe
    return tag + frames;
}

// The template without a tag of its own, so that only ours is read.
std::string audioOf(const std::string &file)
{
    if (file.size() < 10 || file.compare(0, 3, "ID3") != 0)
        return file;
    const auto byte = [&](size_t i) {
        return uint32_t(uint8_t(file[i]));
    };
    const size_t size = (byte(6) << 21) | (byte(7) << 14) | (byte(8) << 7) | byte(9);
    return file.substr(std::min(file.size(), 10 + size));
}

bool writeFile(const std::string &path, const std::string &a, const std::string &b = {})
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool ok = ::write(fd, a.data(), a.size()) == ssize_t(a.size());
    if (!b.empty())
        ok = ok && ::write(fd, b.data(), b.size()) == ssize_t(b.size());
    return ::close(fd) == 0 && ok;
}

bool makeDir(const std::string &path)
{
    return ::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

std::string xmlEscaped(const std::string &text)
{
    std::string out;
    for (const char c : text) {
        if (c == '&')
            out += "&amp;";
        else if (c == '<')
            out += "&lt;";
        else
            out += c;
    }
    return out;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 4) {
        std::fprintf(
            stderr, "usage: larkspin-crawl-web TEMPLATE.mp3 OUTDIR PORT [HOSTS] [TRACKS] [DIRS]\n");
        return 2;
    }
    const std::string outDir = argv[2];
    const std::string port = argv[3];
    const int hosts = argc > 4 ? std::atoi(argv[4]) : 200;
    const int tracks = argc > 5 ? std::atoi(argv[5]) : 1000;
    const int dirs = argc > 6 ? std::atoi(argv[6]) : 10;
    if (hosts < 1 || hosts > 250 * 256 || tracks < 1 || dirs < 1 || dirs > tracks) {
        std::fprintf(stderr, "larkspin-crawl-web: bad counts\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    const std::string audio = audioOf(
        std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
    if (audio.empty()) {
        std::fprintf(stderr, "larkspin-crawl-web: cannot read %s\n", argv[1]);
        return 1;
    }
    const auto words = benchVocabulary();
    const auto word = [&](uint64_t seed, int n) {
        return words[mix(seed * 8 + n) % words.size()];
    };

    std::vector<std::string> pairQueries;
    pairQueries.reserve(size_t(hosts) * tracks);
    std::string seeds;
    if (!makeDir(outDir + "/web"))
        return 1;
    for (int h = 0; h < hosts; ++h) {
        const int number = h + 2; // 127.0.0.2 onwards
        const std::string address = "127." + std::to_string(number >> 16) + "."
                                    + std::to_string((number >> 8) & 0xff) + "."
                                    + std::to_string(number & 0xff);
        const std::string origin = "http://" + address + ":" + port;
        const std::string root = outDir + "/web/" + address;
        if (!makeDir(root)) {
            std::fprintf(stderr, "larkspin-crawl-web: cannot write %s\n", root.c_str());
            return 1;
        }
        seeds += origin + "/\n" + origin + "/feed.rss\n";
        std::string feed = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<rss version=\"2.0\">\n"
                           "<channel><title>Host "
                           + address + "</title><link>" + origin + "/</link>\n";
        for (int d = 0; d < dirs; ++d)
            makeDir(root + "/d" + std::to_string(d));
        for (int t = 0; t < tracks; ++t) {
            const uint64_t seed = uint64_t(h) * 1000003 + uint64_t(t);
            const std::string w1 = word(seed, 0), w2 = word(seed, 1);
            // The track number keeps every title distinct; the words make it searchable.
            const std::string title = capitalised(w1) + " " + w2 + " " + word(seed, 2) + " "
                                      + std::to_string(h) + "-" + std::to_string(t);
            const std::string artist = capitalised(word(seed, 3)) + " " + word(seed, 4);
            const std::string album = capitalised(word(uint64_t(h) * 1000003 + t / 10, 5));
            char name[32];
            std::snprintf(name, sizeof name, "track-%04d.mp3", t);
            const std::string path = "/d" + std::to_string(t % dirs) + "/" + name;
            const std::string tag = id3(title, artist, album);
            if (!writeFile(root + path, tag, audio)) {
                std::fprintf(stderr, "larkspin-crawl-web: cannot write %s%s\n", root.c_str(),
                             path.c_str());
                return 1;
            }
            feed += "<item><title>" + xmlEscaped(title) + "</title><author>" + xmlEscaped(artist)
                    + "</author><enclosure url=\"" + origin + path + "\" length=\""
                    + std::to_string(tag.size() + audio.size())
                    + "\" type=\"audio/mpeg\"/></item>\n";
            pairQueries.push_back(w1 + "%20" + w2);
        }
        feed += "</channel></rss>\n";
        if (!writeFile(root + "/feed.rss", feed))
            return 1;
    }
    std::mt19937_64 random(42);
    std::shuffle(pairQueries.begin(), pairQueries.end(), random);
    std::sort(pairQueries.begin(), pairQueries.end());
    pairQueries.erase(std::unique(pairQueries.begin(), pairQueries.end()), pairQueries.end());
    std::shuffle(pairQueries.begin(), pairQueries.end(), random);
    std::string queries;
    for (const auto &pair : pairQueries)
        queries += apiPrefix + pair + "/0/20\n";
    for (const int start : {0, 20, 40, 60, 80}) {
        for (const auto &single : words)
            queries += apiPrefix + single + "/" + std::to_string(start) + "/20\n";
    }
    if (!writeFile(outDir + "/seeds.txt", seeds) || !writeFile(outDir + "/queries.txt", queries))
        return 1;
    std::printf("%d hosts, %d tracks in %d directories each, %zu distinct queries\n", hosts, tracks,
                dirs, pairQueries.size() + 5 * words.size());
    return 0;
}
