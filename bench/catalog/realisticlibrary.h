#pragma once

#include "benchvocabulary.h"
#include "trackrecord.h"

#include <random>
#include <string>
#include <vector>

// Tracks shaped like a real music library, in the order a folder scan meets them: an
// artist's folder at a time, all of their albums (8 to 12 tracks each) one after the other,
// the number of albums an artist has heavy-tailed (most have one or two, a few hundreds);
// now and then a second folder of an artist met before, 5 % of albums compilations of many
// artists, a tenth of albums with a word on every title ("Live", "Remastered"), and a few
// tracks featuring another artist. Words are drawn from a word list as often as a list of
// spoken frequencies counts them (which follow Zipf's law), or by Zipf's law over their ranks
// where there are no counts; a few percent of the names have accented letters or are in
// another script.
class RealisticLibrary
{
public:
    // words: most frequent first. An artist has some 25 tracks on average: about 40,000 of
    // them at a million tracks.
    RealisticLibrary(RankedWords words, uint32_t seed)
        : m_words(std::move(words.words))
        , m_wordRanks(words.counts.empty() ? RankDraw(m_words.size(), 1.0) : RankDraw(words.counts))
        , m_random(seed)
    {}

    catalog::TrackRecord next()
    {
        if (m_albumLeft == 0)
            startAlbum();
        catalog::TrackRecord track;
        const int number = m_albumSize - m_albumLeft + 1;
        --m_albumLeft;
        track.title = phrase(titleLength(), 0.03);
        if (!m_version.empty())
            track.title += " (" + m_version + ")";
        if (chance(0.03))
            track.title += " feat. " + m_artists[artistRank()];
        track.creator = m_compilation ? m_artists[artistRank()] : m_artist;
        track.album = m_album;
        track.fileName = (number < 10 ? "0" : "") + std::to_string(number) + " " + track.title;
        track.path = "/nonexistent/realistic/" + std::to_string(++m_serial) + ".mp3";
        track.durationMs = 90000 + long(m_random() % 300000);
        track.size = 4000000;
        return track;
    }

private:
    void startAlbum()
    {
        if (m_albumsLeft == 0) {
            // A new artist's folder with all their albums, or a second folder of one met
            // before (the popular ones more often) with a few.
            if (m_artists.empty() || chance(0.85)) {
                m_artists.push_back(artistName());
                m_artist = m_artists.back();
                m_albumsLeft = int(1 + m_albumCounts(m_random));
            } else {
                m_artist = m_artists[artistRank()];
                m_albumsLeft = 1 + int(m_random() % 3);
            }
        }
        --m_albumsLeft;
        m_compilation = chance(0.05);
        m_album = phrase(1 + int(m_random() % 4), 0.03);
        static const char *const versions[]
            = {"Live", "Remastered", "Remix", "Acoustic", "Demo", "Instrumental", "Radio Edit"};
        m_version = chance(0.1) ? versions[m_versionRanks(m_random)] : "";
        m_albumSize = 8 + int(m_random() % 5);
        m_albumLeft = m_albumSize;
    }

    size_t artistRank()
    {
        // Zipf over the artists met so far, by the order they were met in (the table made
        // again as they grow by a tenth).
        if (m_artists.size() * 10 >= m_artistRanks.size() * 11)
            m_artistRanks = RankDraw(m_artists.size(), 0.8);
        return m_artistRanks(m_random) % m_artists.size();
    }

    std::string artistName()
    {
        static const char *const others[]
            = {"Москва", "Ночь", "東京", "夜明け", "Αθήνα", "Θάλασσα", "서울", "بحر"};
        if (chance(0.005))
            return std::string(others[m_random() % 8]) + " " + phrase(1, 0.0);
        const int length = chance(0.4) ? 1 : chance(0.7) ? 2 : 3;
        // A name is seldom a word as common as "you" or "the" alone.
        return (chance(0.05) ? "The " : "") + phrase(length, 0.04, length == 1 ? 200 : 0);
    }

    int titleLength()
    {
        const double u = unit();
        return u < 0.15 ? 1 : u < 0.45 ? 2 : u < 0.7 ? 3 : u < 0.88 ? 4 : 5;
    }

    // count words, capitalised, none of the skipped most frequent, one of them with an
    // accented letter with chance accented.
    std::string phrase(int count, double accented, size_t skipped = 0)
    {
        const int marked = chance(accented) ? int(m_random() % unsigned(count)) : -1;
        std::string text;
        for (int i = 0; i < count; ++i) {
            size_t rank = m_wordRanks(m_random);
            while (rank < skipped && skipped < m_words.size())
                rank = m_wordRanks(m_random);
            std::string word = m_words[rank];
            if (i == marked)
                word = accent(word);
            if (!word.empty() && word[0] >= 'a' && word[0] <= 'z')
                word[0] = char(word[0] - 'a' + 'A');
            text += (i ? " " : "") + word;
        }
        return text;
    }

    std::string accent(const std::string &word)
    {
        static const char *const plain = "aeiounc";
        static const char *const marked[] = {"á", "é", "í", "ö", "ü", "ñ", "ç"};
        for (size_t i = 1; i < word.size(); ++i) {
            for (int k = 0; plain[k]; ++k) {
                if (word[i] == plain[k])
                    return word.substr(0, i) + marked[k] + word.substr(i + 1);
            }
        }
        return word;
    }

    bool chance(double p) { return unit() < p; }
    double unit() { return std::uniform_real_distribution<double>(0.0, 1.0)(m_random); }

    std::vector<std::string> m_words;
    RankDraw m_wordRanks;
    // Albums an artist has, less one: up to 299, the odds of k falling as k^-2.3.
    RankDraw m_albumCounts{300, 2.3};
    RankDraw m_versionRanks{7, 1.0};
    std::string m_version;
    std::mt19937_64 m_random;
    std::vector<std::string> m_artists;
    RankDraw m_artistRanks{1, 0.8};
    std::string m_artist;
    std::string m_album;
    bool m_compilation = false;
    int m_albumsLeft = 0;
    int m_albumSize = 0;
    int m_albumLeft = 0;
    long m_serial = 0;
};
