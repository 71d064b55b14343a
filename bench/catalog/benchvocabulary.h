#pragma once

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

// The filler words of the benchmark's synthetic tracks: 1,728 three-syllable words whose
// syllables avoid the first letters of the marker words (a, h, r, z).
inline std::vector<std::string> benchVocabulary()
{
    static const char *const syllables[]
        = {"ba", "de", "fi", "go", "ku", "lo", "me", "ni", "po", "su", "ti", "ve"};
    std::vector<std::string> words;
    for (const char *a : syllables) {
        for (const char *b : syllables) {
            for (const char *c : syllables)
                words.push_back(std::string(a) + b + c);
        }
    }
    return words;
}

// The realistic library's words: an English word list ranked by how often each word is
// spoken, the most frequent first, one "word count" a line (run-search-bench.sh writes the
// file); counts empty where the file has none. Empty when the file cannot be read.
struct RankedWords
{
    std::vector<std::string> words;
    std::vector<double> counts;
};

inline RankedWords rankedWords(const std::string &file)
{
    RankedWords ranked;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) {
        const size_t blank = line.find(' ');
        if (line.empty() || blank == 0)
            continue;
        ranked.words.push_back(line.substr(0, blank));
        if (blank != std::string::npos)
            ranked.counts.push_back(std::atof(line.c_str() + blank + 1));
    }
    if (ranked.counts.size() != ranked.words.size())
        ranked.counts.clear();
    return ranked;
}

// Ranks 0 to count - 1 drawn by their weights: by Zipf's law (rank r with weight
// 1 / (r + 1)^exponent), or as often as a frequency list counts them.
class RankDraw
{
public:
    RankDraw(size_t count, double exponent)
    {
        double sum = 0;
        for (size_t rank = 0; rank < count; ++rank) {
            sum += 1.0 / std::pow(double(rank + 1), exponent);
            m_cumulative.push_back(sum);
        }
    }

    explicit RankDraw(const std::vector<double> &weights)
    {
        double sum = 0;
        for (const double weight : weights) {
            sum += weight;
            m_cumulative.push_back(sum);
        }
    }

    template<typename Random>
    size_t operator()(Random &random) const
    {
        std::uniform_real_distribution<double> unit(0.0, m_cumulative.back());
        const auto at = std::upper_bound(m_cumulative.begin(), m_cumulative.end(), unit(random));
        return std::min(size_t(at - m_cumulative.begin()), m_cumulative.size() - 1);
    }

    size_t size() const { return m_cumulative.size(); }

private:
    std::vector<double> m_cumulative;
};
