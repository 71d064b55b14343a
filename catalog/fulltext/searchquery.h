#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace catalog {

// The words of a user's query, as the search index knows words (SearchTerms): every word
// must match a word of the track, and the last may also match the start of a longer one.
// The text typed by the user is never read as query syntax: AND, NEAR, quotes, '*', '-'
// and parentheses are plain text, and only letters and digits make words. A value, copied
// freely between threads; a text without words makes an empty query, which matches nothing.
class SearchQuery
{
public:
    // text must be valid UTF-8.
    explicit SearchQuery(std::string_view text);

    const std::vector<std::string> &words() const { return m_words; }
    bool isEmpty() const { return m_words.empty(); }

private:
    std::vector<std::string> m_words;
};

} // namespace catalog
