// Fills a catalogue index with tracks (no files behind them) for the benchmark.
//   larkspin-catalog-fill DB COUNT [--realistic WORDS [--shuffle]] [--shard K/N]
// Synthetic tracks by default: filler words follow a steep power law; a few marker words have
// known frequencies: zephyr 10 tracks, harbor ~1,000, amber ~1,000, river 100,000 (of
// 1,000,000). With --realistic, tracks shaped like a real library (see RealisticLibrary) from
// the ranked word list WORDS (see rankedWords); --shuffle writes the same tracks in a random
// order, so that their ids no longer follow albums and artists. --shard K/N writes the tracks
// of the same library dealt in turn to N shards, those of shard K (0 to N - 1): Xapian's
// interleaving of the shards' ids is then the whole library's order.
#include "benchvocabulary.h"
#include "catalogwriter.h"
#include "realisticlibrary.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

using namespace catalog;

int main(int argc, char **argv)
{
    const char *const usage
        = "usage: larkspin-catalog-fill DB COUNT [--realistic WORDS [--shuffle]] [--shard K/N]\n";
    if (argc < 3) {
        std::fprintf(stderr, "%s", usage);
        return 2;
    }
    const std::string db = argv[1];
    const long count = std::atol(argv[2]);
    std::string wordFile;
    bool shuffle = false;
    long shard = 0, shards = 1;
    for (int i = 3; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--realistic" && i + 1 < argc) {
            wordFile = argv[++i];
        } else if (option == "--shuffle") {
            shuffle = true;
        } else if (option == "--shard" && i + 1 < argc
                   && std::sscanf(argv[++i], "%ld/%ld", &shard, &shards) == 2 && shards > 0
                   && shard >= 0 && shard < shards) {
        } else {
            std::fprintf(stderr, "%s", usage);
            return 2;
        }
    }
    RankedWords words;
    if (!wordFile.empty()) {
        words = rankedWords(wordFile);
        if (words.words.empty()) {
            std::fprintf(stderr, "no words in %s\n", wordFile.c_str());
            return 1;
        }
    }
    CatalogWriter writer;
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
    const auto put = [&writer, shard, shards](long i, const TrackRecord &track) {
        if (i % shards == shard && writer.put(track) == 0) {
            std::fprintf(stderr, "insert failed: %s\n", writer.lastError().c_str());
            return false;
        }
        if (i % 50000 == 49999) {
            writer.commit();
            writer.begin();
        }
        return true;
    };
    writer.begin();
    if (!words.words.empty()) {
        const size_t distinctWords = words.words.size();
        RealisticLibrary library(std::move(words), 20261209);
        std::vector<TrackRecord> tracks;
        for (long i = 0; i < count; ++i) {
            if (!shuffle && !put(i, library.next()))
                return 1;
            if (shuffle)
                tracks.push_back(library.next());
        }
        std::mt19937_64 random(7);
        std::shuffle(tracks.begin(), tracks.end(), random);
        for (size_t i = 0; i < tracks.size(); ++i) {
            if (!put(long(i), tracks[i]))
                return 1;
        }
        writer.commit();
        const double seconds
            = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        std::printf("filled %ld realistic tracks%s (%zu ranked words) in %.1f s\n", count,
                    shuffle ? " in a random order" : "", distinctWords, seconds);
        return 0;
    }
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
        if (!put(i, track))
            return 1;
    }
    writer.commit();
    const double seconds
        = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("filled %ld synthetic tracks in %.1f s (%.0f rows/s)\n", count, seconds,
                double(count) / seconds);
    return 0;
}
