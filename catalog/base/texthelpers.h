#pragma once

#include <string>
#include <string_view>

namespace catalog {

// Byte-level text helpers shared by request parsing and reply writing. Pure functions, safe
// on any thread; what a failure gives is said at each.
class TextHelpers
{
public:
    // Strict percent-decoding: every '%' must start a two-digit hex escape. '+' stays '+'.
    // Returns false on a broken escape; out is then unspecified.
    static bool percentDecode(std::string_view in, std::string &out);
    // A hex digit's value in either case, or -1.
    static int hexValue(char c);

    static bool isValidUtf8(std::string_view text);

    // Escapes & < > " ' for use in XML text and attribute values.
    static std::string escapeXml(std::string_view text);

    // Makes a value that decodes back to the original text when the reader replaces "\x"
    // with "%" and then percent-decodes as UTF-8: '%' and '\' are percent-encoded, and so
    // are control characters and U+FFFE, U+FFFF (XML cannot carry them) and bytes that are
    // not valid UTF-8. A value of white space only starts with an escaped character.
    static std::string escapeValue(std::string_view text);
    // True where neither escape changes text: printable ASCII without % \ & < > " ', and
    // not blank. Most titles and names are, and writers copy them as they stand.
    static bool escapesNothing(std::string_view text);

    // A URL-safe name: lower-case ASCII letters and digits joined by '-', at most 60
    // characters; "track" when nothing is left.
    static std::string slug(std::string_view text);

    // text with its ASCII capitals in lower case; other bytes as they are.
    static std::string lowerAscii(std::string_view text);

    // text without ASCII blanks and control characters at either end.
    static std::string_view trimmed(std::string_view text);

    // What the catalogue keeps of a title, creator, album or link text read from a file or
    // the web: a hostile page could otherwise store megabytes a track and serve them in
    // every search.
    static constexpr size_t storedTextBytes = 512;
    // text cut to at most maxBytes bytes, at the start of a UTF-8 sequence.
    static std::string bounded(std::string_view text, size_t maxBytes = storedTextBytes);

    // Length of the valid UTF-8 sequence starting at text[pos], or 0 if it is not valid.
    static size_t utf8SequenceLength(std::string_view text, size_t pos);
};

} // namespace catalog
