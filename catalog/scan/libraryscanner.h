#pragma once

#include "trackrecord.h"

#include <atomic>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace catalog {

class IndexWriter;

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
// removing anything, so an unmounted disk does not empty the catalogue.
class LibraryScanner
{
public:
    using Log = std::function<void(const std::string &line)>;

    LibraryScanner(IndexWriter &writer, Log log);

    ScanStats scan(const std::vector<std::string> &dirs, const std::atomic<bool> &cancel);

    // Title, creator, album and duration from the file's tags; without tags, a file named
    // "Artist - Title.mp3" gives both, otherwise the title is the name without its ending.
    static TrackRecord readTrack(const std::string &path);

    static bool isMp3Name(const std::string &name);

private:
    IndexWriter &m_writer;
    Log m_log;
};

} // namespace catalog
