#include "demolibrary.h"

#include <lame/lame.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/tstring.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <thread>

namespace fs = std::filesystem;

namespace catalog {

namespace {

constexpr int trackCount = 320;
constexpr int sampleRate = 16000;

const std::array<const char *, 16> creators = {
    "Élodie Varga",     "Søren Quist",        "Zoë & the Ösel Band", "Ana Núñez",
    "North/South Trio", "DJ Colon: Reloaded", "Who? Why? Trio",      "\"The Quotes\" Quartet",
    "Bjarne Ølstad",    "Kōji Hayashi",       "Łucja Wrona",         "Çelik Orkestra",
    "Renée d'Arc",      "Μέλισσα Κ.",         "Иван Петров",         "Mårten & Friends",
};

const std::array<const char *, 12> places = {
    "Zürich", "São Paulo", "Kraków", "Reykjavík", "Málaga", "Tromsø",
    "Ōsaka",  "Nîmes",     "Łódź",   "Göteborg",  "Cádiz",  "Plzeň",
};

const std::array<const char *, 8> adjectives = {
    "Golden", "Électrique", "Quiet", "Wild", "Fragile", "Crimson", "Über", "Tender",
};

const std::array<const char *, 10> nouns = {
    "Summer", "Rain", "Café", "Garden", "Mirror", "Harbour", "Señal", "Echo", "Weekend", "Déjà Vu",
};

std::string fileSafe(const std::string &text)
{
    std::string out;
    for (const char c : text) {
        if (c == '/' || c == '\\' || c == ':' || c == '?' || c == '"' || c == '*')
            out += c == '/' ? '-' : ' ';
        else
            out += c;
    }
    std::string collapsed;
    for (const char c : out) {
        if (c == ' ' && (collapsed.empty() || collapsed.back() == ' '))
            continue;
        collapsed += c;
    }
    while (!collapsed.empty() && collapsed.back() == ' ')
        collapsed.pop_back();
    return collapsed;
}

const char *creatorOf(int i)
{
    return creators[size_t((i / 8 + i % 8) % int(creators.size()))];
}

std::string makeTitle(int i)
{
    // Tracks of one creator (see creatorOf) differ in every word drawn here.
    const int r = i % 8;
    const int m = i / 8;
    const std::string place = places[size_t((m / 16 * 4 + m + r) % int(places.size()))];
    const std::string adjective = adjectives[size_t((m / 16 * 3 + m + r) % int(adjectives.size()))];
    const std::string noun = nouns[size_t((m / 16 * 3 + m + r) % int(nouns.size()))];
    std::string title;
    if (i == 211) {
        title = "Quetzal Lullaby";
    } else if (i % 6 == 0 || i % 40 == 1) {
        switch (i / 6 % 3) {
        case 0:
            title = adjective + " " + noun;
            break;
        case 1:
            title = noun + ": " + place;
            break;
        default:
            title = "Where Is the " + noun + "?";
        }
    } else {
        switch (i % 8) {
        case 0:
            title = "Love at " + place;
            break;
        case 1:
            title = adjective + " Love";
            break;
        case 2:
            title = "Love/Hate " + noun;
            break;
        case 3:
            title = "Love: " + noun + " Edition";
            break;
        case 4:
            title = "\"Love\" in " + place;
            break;
        case 5:
            title = "Who Needs Love? (" + place + ")";
            break;
        case 6:
            title = "Love's " + noun;
            break;
        default:
            title = "100% Love \\ " + noun;
        }
    }
    if (i % 4 == 1)
        title += " (Night Mix)";
    return title;
}

class LameEncoder
{
public:
    LameEncoder()
        : m_flags(lame_init())
    {
        lame_set_in_samplerate(m_flags, sampleRate);
        lame_set_out_samplerate(m_flags, sampleRate);
        lame_set_num_channels(m_flags, 1);
        lame_set_mode(m_flags, MONO);
        lame_set_brate(m_flags, 32);
        lame_set_quality(m_flags, 7);
        lame_set_bWriteVbrTag(m_flags, 0);
        lame_init_params(m_flags);
    }
    ~LameEncoder() { lame_close(m_flags); }
    LameEncoder(const LameEncoder &) = delete;
    LameEncoder &operator=(const LameEncoder &) = delete;

    std::string encode(std::vector<short> &pcm)
    {
        std::string out;
        std::vector<unsigned char> buffer(pcm.size() * 5 / 4 + 7200);
        const int n = lame_encode_buffer(m_flags, pcm.data(), nullptr, int(pcm.size()),
                                         buffer.data(), int(buffer.size()));
        if (n > 0)
            out.append(reinterpret_cast<const char *>(buffer.data()), size_t(n));
        const int tail = lame_encode_flush(m_flags, buffer.data(), int(buffer.size()));
        if (tail > 0)
            out.append(reinterpret_cast<const char *>(buffer.data()), size_t(tail));
        return out;
    }

private:
    lame_global_flags *m_flags;
};

} // namespace

std::vector<DemoTrack> DemoLibrary::tracks()
{
    std::vector<DemoTrack> list;
    list.reserve(trackCount);
    for (int i = 0; i < trackCount; ++i) {
        DemoTrack track;
        track.creator = creatorOf(i);
        track.title = makeTitle(i);
        track.album = "Larkspin Demo Vol. " + std::to_string(i / 40 + 1);
        track.seconds = 2 + (i * 37) % 7;
        char number[8];
        std::snprintf(number, sizeof number, "%03d", i + 1);
        track.fileName = std::string(number) + " " + fileSafe(track.creator) + " - "
                         + fileSafe(track.title) + ".mp3";
        list.push_back(std::move(track));
    }
    return list;
}

std::string DemoLibrary::encodeMusic(int seconds, unsigned seed)
{
    // A pentatonic melody over a slow bass: plain sines with a decaying envelope.
    static const double scale[]
        = {261.63, 293.66, 329.63, 392.00, 440.00, 523.25, 587.33, 659.25, 783.99, 880.00};
    const size_t total = size_t(seconds) * sampleRate;
    std::vector<short> pcm(total);
    uint32_t state = seed * 2654435761u + 12345u;
    const auto next = [&state] {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    };
    const double tempo = 0.18 + double(next() % 100) / 400.0; // seconds per note
    const size_t noteLength = size_t(tempo * sampleRate);
    const double pi = 3.14159265358979;
    double melody = scale[next() % 10];
    double bass = scale[next() % 5] / 2;
    for (size_t start = 0; start < total; start += noteLength) {
        melody = scale[next() % 10];
        if ((start / noteLength) % 4 == 0)
            bass = scale[next() % 5] / 2;
        for (size_t j = 0; j < noteLength && start + j < total; ++j) {
            const double t = double(j) / sampleRate;
            const double envelope = std::exp(-t * 6.0) * std::min(1.0, t * 200.0);
            const double tAll = double(start + j) / sampleRate;
            const double value = 0.45 * envelope * std::sin(2 * pi * melody * t)
                                 + 0.12 * envelope * std::sin(4 * pi * melody * t)
                                 + 0.2 * std::sin(2 * pi * bass * tAll);
            pcm[start + j] = short(value * 32767 * 0.8);
        }
    }
    LameEncoder encoder;
    return encoder.encode(pcm);
}

bool DemoLibrary::ensure(const std::string &dir, const Log &log, std::string *error)
{
    std::error_code fsError;
    fs::create_directories(dir, fsError);
    if (fsError) {
        if (error)
            *error = "cannot create " + dir + ": " + fsError.message();
        return false;
    }
    const auto list = tracks();
    std::vector<size_t> missing;
    for (size_t i = 0; i < list.size(); ++i) {
        if (!fs::exists(fs::path(dir) / list[i].fileName, fsError))
            missing.push_back(i);
    }
    if (missing.empty())
        return true;

    log("making the demo library: " + std::to_string(missing.size()) + " tracks in " + dir);
    const auto started = std::chrono::steady_clock::now();
    std::atomic<size_t> nextIndex{0};
    std::atomic<bool> failed{false};
    const auto work = [&] {
        for (size_t k = nextIndex++; k < missing.size() && !failed; k = nextIndex++) {
            const DemoTrack &track = list[missing[k]];
            const fs::path target = fs::path(dir) / track.fileName;
            const fs::path temporary = fs::path(dir) / ("." + track.fileName + ".part");
            {
                std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
                const std::string mp3 = encodeMusic(track.seconds, unsigned(missing[k]));
                out.write(mp3.data(), std::streamsize(mp3.size()));
                if (!out) {
                    failed = true;
                    break;
                }
            }
            {
                TagLib::MPEG::File file(temporary.c_str(), false);
                TagLib::ID3v2::Tag *tag = file.ID3v2Tag(true);
                tag->setTitle(TagLib::String(track.title, TagLib::String::UTF8));
                tag->setArtist(TagLib::String(track.creator, TagLib::String::UTF8));
                tag->setAlbum(TagLib::String(track.album, TagLib::String::UTF8));
                tag->setTrack(unsigned(missing[k] % 40 + 1));
                if (!file.save(TagLib::MPEG::File::ID3v2)) {
                    failed = true;
                    break;
                }
            }
            std::error_code renameError;
            fs::rename(temporary, target, renameError);
            if (renameError) {
                failed = true;
                break;
            }
        }
    };
    std::thread helper(work);
    work();
    helper.join();
    if (failed) {
        if (error)
            *error = "cannot write the demo library in " + dir;
        return false;
    }
    const double seconds
        = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    char line[96];
    std::snprintf(line, sizeof line, "demo library ready: %zu tracks in %.1f s", missing.size(),
                  seconds);
    log(line);
    return true;
}

} // namespace catalog
