#include "searchterms.h"

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <xapian.h>

namespace catalog {

namespace {

// Xapian keeps terms of up to 245 bytes; longer words could never be found anyway.
constexpr size_t maxWordBytes = 120;

bool isAscii(std::string_view text)
{
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    }
    return true;
}

void splitAscii(std::string_view text, std::vector<std::string> &words)
{
    std::string word;
    for (const char c : text) {
        const bool wordChar
            = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (wordChar) {
            word += char(c >= 'A' && c <= 'Z' ? c + 32 : c);
        } else if (!word.empty()) {
            if (word.size() <= maxWordBytes)
                words.push_back(std::move(word));
            word.clear();
        }
    }
    if (!word.empty() && word.size() <= maxWordBytes)
        words.push_back(std::move(word));
}

} // namespace

std::vector<std::string> SearchTerms::words(std::string_view text)
{
    std::vector<std::string> words;
    // Most titles and names are ASCII: no need for normalisation there.
    if (isAscii(text)) {
        splitAscii(text, words);
        return words;
    }
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2 *decompose = icu::Normalizer2::getNFDInstance(status);
    if (U_FAILURE(status))
        return words;
    const icu::UnicodeString decomposed = decompose->normalize(
        icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), int32_t(text.size()))), status);
    if (U_FAILURE(status))
        return words;
    std::string word;
    const auto finish = [&] {
        if (!word.empty() && word.size() <= maxWordBytes)
            words.push_back(word);
        word.clear();
    };
    for (int32_t i = 0; i < decomposed.length();) {
        const UChar32 c = decomposed.char32At(i);
        i += U16_LENGTH(c);
        if (u_charType(c) == U_NON_SPACING_MARK)
            continue; // the accents NFD split from their letters
        if (c == '_' || !Xapian::Unicode::is_wordchar(unsigned(c))) {
            finish();
            continue;
        }
        Xapian::Unicode::append_utf8(word, Xapian::Unicode::tolower(unsigned(c)));
    }
    finish();
    return words;
}

} // namespace catalog
