#include "texthelpers.h"

#include <algorithm>

namespace catalog {

namespace {

// Unicode's White_Space characters, which QChar::isSpace() also counts.
bool isWhiteSpace(uint32_t code)
{
    return (code >= 0x09 && code <= 0x0D) || code == 0x20 || code == 0x85 || code == 0xA0
           || code == 0x1680 || (code >= 0x2000 && code <= 0x200A) || code == 0x2028
           || code == 0x2029 || code == 0x202F || code == 0x205F || code == 0x3000;
}

// Valid UTF-8 made only of white space, and not empty.
bool isWhiteSpaceOnly(std::string_view text)
{
    if (text.empty())
        return false;
    for (size_t i = 0; i < text.size();) {
        const size_t length = TextHelpers::utf8SequenceLength(text, i);
        if (length == 0)
            return false;
        const auto lead = static_cast<unsigned char>(text[i]);
        uint32_t code = length == 1 ? lead : lead & (0xFFu >> (length + 1));
        for (size_t k = 1; k < length; ++k)
            code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
        if (!isWhiteSpace(code))
            return false;
        i += length;
    }
    return true;
}

void appendPercent(std::string &out, unsigned char byte)
{
    static const char digits[] = "0123456789ABCDEF";
    out += '%';
    out += digits[byte >> 4];
    out += digits[byte & 15];
}

} // namespace

int TextHelpers::hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool TextHelpers::percentDecode(std::string_view in, std::string &out)
{
    out.clear();
    out.reserve(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '%') {
            out += in[i];
            continue;
        }
        if (i + 2 >= in.size())
            return false;
        const int high = hexValue(in[i + 1]);
        const int low = hexValue(in[i + 2]);
        if (high < 0 || low < 0)
            return false;
        out += char(high * 16 + low);
        i += 2;
    }
    return true;
}

size_t TextHelpers::utf8SequenceLength(std::string_view text, size_t pos)
{
    const auto byte = [&](size_t i) {
        return static_cast<unsigned char>(text[i]);
    };
    const unsigned char lead = byte(pos);
    if (lead < 0x80)
        return 1;
    size_t length;
    unsigned char min2 = 0x80, max2 = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            min2 = 0xA0; // overlong
        if (lead == 0xED)
            max2 = 0x9F; // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            min2 = 0x90; // overlong
        if (lead == 0xF4)
            max2 = 0x8F; // above U+10FFFF
    } else {
        return 0;
    }
    if (pos + length > text.size())
        return 0;
    if (byte(pos + 1) < min2 || byte(pos + 1) > max2)
        return 0;
    for (size_t i = 2; i < length; ++i) {
        if ((byte(pos + i) & 0xC0) != 0x80)
            return 0;
    }
    return length;
}

bool TextHelpers::isValidUtf8(std::string_view text)
{
    for (size_t i = 0; i < text.size();) {
        const size_t length = utf8SequenceLength(text, i);
        if (length == 0)
            return false;
        i += length;
    }
    return true;
}

std::string TextHelpers::escapeXml(std::string_view text)
{
    std::string out;
    out.reserve(text.size() + 16);
    for (const char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&apos;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string TextHelpers::escapeValue(std::string_view text)
{
    std::string out;
    out.reserve(text.size() + 8);
    // XML readers drop text that is nothing but white space (Qt's counts every Unicode space,
    // U+00A0 and U+3000 too); escaping the first character keeps it.
    if (isWhiteSpaceOnly(text)) {
        const size_t first = std::max<size_t>(1, utf8SequenceLength(text, 0));
        for (size_t k = 0; k < first; ++k)
            appendPercent(out, static_cast<unsigned char>(text[k]));
        text.remove_prefix(first);
    }
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '%' || c == '\\' || c < 0x20 || c == 0x7F) {
            appendPercent(out, c);
            ++i;
            continue;
        }
        const size_t length = utf8SequenceLength(text, i);
        if (length == 0) {
            appendPercent(out, c);
            ++i;
            continue;
        }
        // U+FFFE and U+FFFF are no XML characters either: a reader rejects the whole page.
        if (length == 3 && c == 0xEF && static_cast<unsigned char>(text[i + 1]) == 0xBF
            && static_cast<unsigned char>(text[i + 2]) >= 0xBE) {
            for (size_t k = 0; k < length; ++k)
                appendPercent(out, static_cast<unsigned char>(text[i + k]));
            i += length;
            continue;
        }
        out.append(text.substr(i, length));
        i += length;
    }
    return out;
}

bool TextHelpers::escapesNothing(std::string_view text)
{
    bool blank = !text.empty();
    for (const char c : text) {
        // Compared unsigned, so that bytes past ASCII go to the escapes whatever char is.
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte >= 0x7F || c == '%' || c == '\\' || c == '&' || c == '<' || c == '>'
            || c == '"' || c == '\'')
            return false;
        blank = blank && c == ' ';
    }
    return !blank;
}

std::string TextHelpers::slug(std::string_view text)
{
    // Latin letters U+00C0..U+017F without their marks; ' ' where the character is no letter.
    static constexpr std::string_view latin1
        = "AAAAAAACEEEEIIIIDNOOOOO OUUUUYTsaaaaaaaceeeeiiiidnooooo ouuuuyty";
    static constexpr std::string_view latinA
        = "AaAaAaCcCcCcCcDdDdEeEeEeEeEeGgGgGgGgHhHhIiIiIiIiIiJjJjKkkLlLlLlLlLlNnNnNnnNnOoOoOoOo"
          "RrRrRrSsSsSsSsTtTtTtUuUuUuUuUuUuWwYyYZzZzZzs";
    static_assert(latin1.size() == 64 && latinA.size() == 128);

    std::string out;
    bool pendingDash = false;
    const auto append = [&](char c) {
        const bool alnum
            = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!alnum) {
            pendingDash = !out.empty();
            return;
        }
        // The joining '-' counts towards the 60 as well.
        if (out.size() + (pendingDash ? 2 : 1) > 60)
            return;
        if (pendingDash) {
            out += '-';
            pendingDash = false;
        }
        out += char(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
    };
    for (size_t i = 0; i < text.size();) {
        const size_t length = utf8SequenceLength(text, i);
        if (length == 2) {
            const auto b0 = static_cast<unsigned char>(text[i]);
            const auto b1 = static_cast<unsigned char>(text[i + 1]);
            const unsigned code = ((b0 & 0x1Fu) << 6) | (b1 & 0x3Fu);
            if (code >= 0xC0 && code < 0x100)
                append(latin1[code - 0xC0]);
            else if (code >= 0x100 && code < 0x180)
                append(latinA[code - 0x100]);
            else
                append(' ');
        } else {
            append(length == 1 ? text[i] : ' ');
        }
        i += length ? length : 1;
    }
    while (out.size() > 1 && out.back() == '-')
        out.pop_back();
    return out.empty() ? std::string("track") : out;
}

std::string TextHelpers::lowerAscii(std::string_view text)
{
    std::string lower(text);
    for (char &c : lower) {
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    }
    return lower;
}

std::string TextHelpers::bounded(std::string_view text, size_t maxBytes)
{
    if (text.size() <= maxBytes)
        return std::string(text);
    size_t end = maxBytes;
    // Back to the first byte of the sequence the cut falls in.
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    return std::string(text.substr(0, end));
}

std::string_view TextHelpers::trimmed(std::string_view text)
{
    while (!text.empty() && static_cast<unsigned char>(text.front()) <= ' ')
        text.remove_prefix(1);
    while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ')
        text.remove_suffix(1);
    return text;
}

} // namespace catalog
