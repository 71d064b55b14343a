#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace catalog {

// The words of a user's query. Every word must match the start of a word in the indexed
// text. The text typed by the user is never passed to the index as query syntax: each word
// becomes a quoted prefix term, so AND, NEAR, quotes, '*', '-' and parentheses are plain text.
class SearchQuery
{
public:
    // text must be valid UTF-8.
    explicit SearchQuery(std::string_view text);

    const std::vector<std::string> &words() const { return m_words; }
    bool isEmpty() const { return m_words.empty(); }

    // The FTS5 MATCH expression: "word1"* "word2"* ...
    std::string matchExpression() const;

private:
    std::vector<std::string> m_words;
};

} // namespace catalog
