#pragma once

#include <functional>
#include <string>
#include <vector>

namespace catalog {

// One track of the demo library. Plain data, from DemoLibrary::tracks().
struct DemoTrack
{
    std::string fileName;
    std::string title;
    std::string creator;
    std::string album;
    int seconds = 0;
};

// A made-up music collection for trying the program without one of one's own: short
// synthesised MP3s with tags. The word "love" matches more than 250 of its tracks,
// "night" between 51 and 100, and "quetzal" exactly one. Keeps no state; main() makes the
// files on its own thread before it serves.
class DemoLibrary
{
public:
    using Log = std::function<void(const std::string &line)>;

    static std::vector<DemoTrack> tracks();

    // Writes the files that are missing in dir (creating it). Returns false and fills
    // *error when a file cannot be written.
    static bool ensure(const std::string &dir, const Log &log, std::string *error);

    // Encodes seconds of music made from seed as a mono MP3.
    static std::string encodeMusic(int seconds, unsigned seed);
};

} // namespace catalog
