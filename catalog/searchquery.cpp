#include "searchquery.h"

#include "textcodec.h"

namespace catalog {

namespace {

// ASCII letters and digits are word characters; every other ASCII byte separates words,
// as it does for the index's tokenizer. Non-ASCII characters are left to the tokenizer,
// except for the common punctuation and blank ranges, which separate words here as well.
bool isSeparator(std::string_view text, size_t pos, size_t length)
{
    const auto c = static_cast<unsigned char>(text[pos]);
    if (length == 1) {
        return !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'));
    }
    unsigned code = 0;
    if (length == 2)
        code = ((c & 0x1Fu) << 6) | (static_cast<unsigned char>(text[pos + 1]) & 0x3Fu);
    else if (length == 3)
        code = ((c & 0x0Fu) << 12) | ((static_cast<unsigned char>(text[pos + 1]) & 0x3Fu) << 6)
               | (static_cast<unsigned char>(text[pos + 2]) & 0x3Fu);
    else
        return false;
    const bool latin1Punctuation = code >= 0xA0 && code <= 0xBF && code != 0xAA && code != 0xB2
                                   && code != 0xB3 && code != 0xB5 && code != 0xB9 && code != 0xBA
                                   && code != 0xBC && code != 0xBD && code != 0xBE;
    return latin1Punctuation || code == 0xD7 || code == 0xF7 || (code >= 0x2000 && code <= 0x206F)
           || (code >= 0x3000 && code <= 0x3003) || code == 0xFEFF;
}

} // namespace

SearchQuery::SearchQuery(std::string_view text)
{
    std::string word;
    for (size_t i = 0; i < text.size();) {
        size_t length = TextCodec::utf8SequenceLength(text, i);
        if (length == 0)
            length = 1;
        if (isSeparator(text, i, length)) {
            if (!word.empty())
                m_words.push_back(std::move(word));
            word.clear();
        } else {
            word.append(text.substr(i, length));
        }
        i += length;
    }
    if (!word.empty())
        m_words.push_back(std::move(word));
}

std::string SearchQuery::matchExpression() const
{
    std::string expression;
    for (const auto &word : m_words) {
        if (!expression.empty())
            expression += ' ';
        // Words never contain '"' (it separates words), so quoting needs no escaping.
        expression += '"';
        expression += word;
        expression += "\"*";
    }
    return expression;
}

} // namespace catalog
