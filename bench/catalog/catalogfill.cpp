// Fills a catalogue index with synthetic tracks (no files behind them) for the benchmark.
// Filler words follow a steep power law; a few marker words have known frequencies:
//   zephyr 10 tracks, harbor ~1,000, amber ~1,000, river 100,000 (of 1,000,000).
#include "benchvocabulary.h"
#include "indexwriter.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace catalog;

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: larkspin-catalog-fill DB COUNT\n");
        return 2;
    }
    const std::string db = argv[1];
    const long count = std::atol(argv[2]);
    IndexWriter writer;
    std::string error;
    if (!writer.open(db, &error)) {
        std::fprintf(stderr, "cannot open %s: %s\n", db.c_str(), error.c_str());
        return 1;
    }
    const auto vocabulary = benchVocabulary();
    uint64_t state = 88172645463325252ull;
    const auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    // u^4 over the vocabulary: the first words are very common, the last ones rare.
    const auto filler = [&] {
        const double u = double(next() % 1000000) / 1000000.0;
        return vocabulary[size_t(u * u * u * u * double(vocabulary.size()))];
    };

    const auto started = std::chrono::steady_clock::now();
    writer.begin();
    for (long i = 0; i < count; ++i) {
        TrackRecord track;
        track.title = filler() + " " + filler() + " " + filler();
        if (i % 100000 == 77)
            track.title += " zephyr";
        if (i % 997 == 5)
            track.title += " harbor";
        if (i % 991 == 3)
            track.title += " amber";
        if (i % 10 == 0)
            track.title += " river";
        track.creator = filler() + " " + filler();
        track.album = filler() + " " + filler();
        track.fileName = track.creator + " - " + track.title;
        track.path = "/nonexistent/synthetic/" + std::to_string(i) + ".mp3";
        track.durationMs = 120000 + long(next() % 240000);
        track.size = 4000000;
        if (writer.put(track) == 0) {
            std::fprintf(stderr, "insert failed: %s\n", writer.lastError().c_str());
            return 1;
        }
        if (i % 50000 == 49999) {
            writer.commit();
            writer.begin();
        }
    }
    writer.commit();
    const double seconds
        = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("filled %ld synthetic tracks in %.1f s (%.0f rows/s)\n", count, seconds,
                double(count) / seconds);
    return 0;
}
