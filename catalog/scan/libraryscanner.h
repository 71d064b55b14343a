#pragma once

#include "trackrecord.h"

#include <atomic>
#include <cstddef>
#include <functional>
#include <string>
#include <unordered_set>
#include <vector>

namespace catalog {

class CatalogWriter;

// What a scan did. Plain data, returned by LibraryScanner::scan().
struct ScanStats
{
    size_t files = 0; // MP3 files found
    size_t added = 0;
    size_t updated = 0;
    size_t removed = 0;
    double seconds = 0;
    bool cancelled = false;
};

// Brings the index in line with the MP3 files below a set of folders. Files whose size and
// modification time are unchanged are not read again; indexed files below a folder that
// are no longer there leave the index. A folder that cannot be read is skipped without
// removing anything, so an unmounted disk does not empty the catalogue. Writes through the
// writer it is given (borrowed; it outlives the scanner), on the calling thread, which must
// hold the writer to itself (main()'s lock) for the whole scan; a file that cannot be read or
// written is logged and skipped.
class LibraryScanner
{
public:
    using Log = std::function<void(const std::string &line)>;

    LibraryScanner(CatalogWriter &writer, Log log);

    // Scans the folders, in 500 files a transaction; stops soon after cancel turns true,
    // removing nothing then.
    ScanStats scan(const std::vector<std::string> &dirs, const std::atomic<bool> &cancel);

    // Title, creator, album and duration from the file's tags; without tags, a file named
    // "Artist - Title.mp3" gives both, otherwise the title is the name without its ending.
    static TrackRecord readTrack(const std::string &path);

    static bool isMp3Name(const std::string &name);

private:
    struct Pass;
    struct Root;
    // Walks root's folder, taking each MP3 file; false when it cannot be read at all.
    bool walk(const std::string &dir, Root &root, Pass &pass, const std::atomic<bool> &cancel);
    void take(const std::string &path, Root &root, Pass &pass);
    void removeMissing(const std::vector<Root> &roots, const std::unordered_set<std::string> &seen,
                       ScanStats &stats);

    CatalogWriter &m_writer;
    Log m_log;
};

} // namespace catalog
