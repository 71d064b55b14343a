#pragma once

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
