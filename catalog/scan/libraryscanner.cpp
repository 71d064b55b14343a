#include "libraryscanner.h"

#include "catalogwriter.h"
#include "texthelpers.h"
#include "tracknames.h"

#include <taglib/fileref.h>
#include <taglib/tag.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <sys/stat.h>
#include <unordered_map>
#include <unordered_set>

namespace fs = std::filesystem;

namespace catalog {

namespace {

constexpr size_t filesPerTransaction = 500;

std::string formatRate(size_t files, double seconds)
{
    char buffer[96];
    std::snprintf(buffer, sizeof buffer, "%zu files in %.1f s (%.0f files/s)", files, seconds,
                  seconds > 0 ? double(files) / seconds : 0.0);
    return buffer;
}

} // namespace

LibraryScanner::LibraryScanner(CatalogWriter &writer, Log log)
    : m_writer(writer)
    , m_log(std::move(log))
{}

bool LibraryScanner::isMp3Name(const std::string &name)
{
    if (name.size() < 5)
        return false;
    const std::string ending = name.substr(name.size() - 4);
    return ending[0] == '.' && (ending[1] | 0x20) == 'm' && (ending[2] | 0x20) == 'p'
           && ending[3] == '3';
}

TrackRecord LibraryScanner::readTrack(const std::string &path)
{
    TrackRecord track;
    track.path = path;
    const fs::path fsPath(path);
    std::string name = fsPath.filename().string();
    if (isMp3Name(name))
        name.resize(name.size() - 4);
    track.fileName = name;

    TagLib::FileRef file(path.c_str(), true, TagLib::AudioProperties::Fast);
    if (!file.isNull()) {
        if (const TagLib::Tag *tag = file.tag()) {
            track.title = std::string(TextHelpers::trimmed(tag->title().to8Bit(true)));
            track.creator = std::string(TextHelpers::trimmed(tag->artist().to8Bit(true)));
            track.album = std::string(TextHelpers::trimmed(tag->album().to8Bit(true)));
        }
        if (const TagLib::AudioProperties *properties = file.audioProperties())
            track.durationMs = properties->lengthInMilliseconds();
    }
    TrackNames::fillFromName(track, name);
    for (std::string *text : {&track.title, &track.creator, &track.album})
        *text = TextHelpers::bounded(*text);
    return track;
}

// One scan's progress across its folders.
struct LibraryScanner::Pass
{
    using Clock = std::chrono::steady_clock;
    Clock::time_point started = Clock::now();
    Clock::time_point lastReport = started;
    ScanStats stats;
    std::unordered_set<std::string> seen; // every MP3 file met, below any folder
    size_t pending = 0;                   // writes in the open transaction
};

// A folder given, and its files as the index knew them before the scan.
struct LibraryScanner::Root
{
    std::string dir;
    std::unordered_map<std::string, CatalogWriter::FileState> indexed;
    bool complete = false; // walked to the end: what was not met is gone
};

ScanStats LibraryScanner::scan(const std::vector<std::string> &dirs,
                               const std::atomic<bool> &cancel)
{
    Pass pass;
    std::vector<Root> roots;
    m_writer.begin();
    for (const auto &dir : dirs) {
        std::error_code error;
        const fs::path absolute = fs::weakly_canonical(fs::absolute(dir, error), error);
        if (error || !fs::is_directory(absolute, error)) {
            m_log("cannot read folder " + dir + "; it is skipped and its tracks are kept");
            continue;
        }
        Root root;
        root.dir = absolute.string();
        root.indexed = m_writer.filesUnder(root.dir);
        if (!walk(dir, root, pass, cancel))
            continue;
        roots.push_back(std::move(root));
        if (pass.stats.cancelled)
            break;
    }
    if (!pass.stats.cancelled)
        removeMissing(roots, pass.seen, pass.stats);
    m_writer.commit();
    ScanStats &stats = pass.stats;
    stats.seconds = std::chrono::duration<double>(Pass::Clock::now() - pass.started).count();
    m_log(std::string(stats.cancelled ? "scan cancelled: " : "scan done: ")
          + formatRate(stats.files, stats.seconds) + ", " + std::to_string(stats.added) + " added, "
          + std::to_string(stats.updated) + " updated, " + std::to_string(stats.removed)
          + " removed");
    return stats;
}

bool LibraryScanner::walk(const std::string &dir, Root &root, Pass &pass,
                          const std::atomic<bool> &cancel)
{
    std::error_code error;
    fs::recursive_directory_iterator it(root.dir, fs::directory_options::skip_permission_denied,
                                        error);
    if (error) {
        m_log("cannot read folder " + dir + ": " + error.message());
        return false;
    }
    bool walked = true;
    for (const fs::recursive_directory_iterator end; it != end; it.increment(error)) {
        if (error) {
            // An unreadable sub-folder would look like deleted files; keep them.
            m_log("scan error below " + root.dir + ": " + error.message());
            walked = false;
            break;
        }
        if (cancel.load()) {
            pass.stats.cancelled = true;
            break;
        }
        const fs::path &path = it->path();
        if (isMp3Name(path.filename().string()))
            take(path.string(), root, pass);
    }
    root.complete = walked && !pass.stats.cancelled;
    return true;
}

void LibraryScanner::take(const std::string &path, Root &root, Pass &pass)
{
    struct stat info;
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return;
    if (!pass.seen.insert(path).second)
        return;
    ++pass.stats.files;
    const int64_t mtimeNs = int64_t(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    const auto known = root.indexed.find(path);
    if (known != root.indexed.end() && known->second.size == int64_t(info.st_size)
        && known->second.mtimeNs == mtimeNs)
        return;
    TrackRecord track = readTrack(path);
    track.size = int64_t(info.st_size);
    track.mtimeNs = mtimeNs;
    if (m_writer.put(track) == 0) {
        m_log("cannot index " + path + ": " + m_writer.lastError());
        return;
    }
    ++(known == root.indexed.end() ? pass.stats.added : pass.stats.updated);
    if (++pass.pending >= filesPerTransaction) {
        m_writer.commit();
        m_writer.begin();
        pass.pending = 0;
    }
    const auto now = Pass::Clock::now();
    if (now - pass.lastReport > std::chrono::seconds(2)) {
        pass.lastReport = now;
        m_log("scanning: "
              + formatRate(pass.stats.files,
                           std::chrono::duration<double>(now - pass.started).count()));
    }
}

void LibraryScanner::removeMissing(const std::vector<Root> &roots,
                                   const std::unordered_set<std::string> &seen, ScanStats &stats)
{
    for (const auto &root : roots) {
        if (!root.complete)
            continue;
        for (const auto &[path, state] : root.indexed) {
            if (seen.count(path) == 0 && m_writer.remove(state.id))
                ++stats.removed;
        }
    }
}

} // namespace catalog
