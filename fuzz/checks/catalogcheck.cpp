#include "catalogcheck.h"

#include "fuzzcheck.h"

#include "searchquery.h"
#include "searchrequest.h"
#include "texthelpers.h"

#include <string>
#include <string_view>

using catalog::SearchQuery;
using catalog::SearchRequest;
using catalog::TextHelpers;

namespace {

// An independent reading of UTF-8 to hold isValidUtf8 against.
bool referenceUtf8(std::string_view text)
{
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        size_t length = 0;
        uint32_t code = 0;
        uint32_t least = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2, code = lead & 0x1F, least = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3, code = lead & 0x0F, least = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4, code = lead & 0x07, least = 0x10000;
        } else {
            return false;
        }
        if (i + length > text.size())
            return false;
        for (size_t k = 1; k < length; ++k) {
            const auto c = static_cast<unsigned char>(text[i + k]);
            if ((c & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (c & 0x3F);
        }
        if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        i += length;
    }
    return true;
}

// Characters XML 1.0 documents may hold, for valid UTF-8 text.
bool isXmlText(std::string_view text)
{
    for (size_t i = 0; i < text.size();) {
        const size_t length = TextHelpers::utf8SequenceLength(text, i);
        if (length == 0)
            return false;
        const auto lead = static_cast<unsigned char>(text[i]);
        if (length == 1 && lead < 0x20 && lead != '\t' && lead != '\n' && lead != '\r')
            return false;
        // U+FFFE and U+FFFF: EF BF BE, EF BF BF.
        if (length == 3 && lead == 0xEF && static_cast<unsigned char>(text[i + 1]) == 0xBF
            && static_cast<unsigned char>(text[i + 2]) >= 0xBE)
            return false;
        i += length;
    }
    return true;
}

std::string percentEncodeAll(std::string_view text)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        const bool plain = (byte >= '0' && byte <= '9') || (byte >= 'a' && byte <= 'z')
                           || (byte >= 'A' && byte <= 'Z') || byte == '-' || byte == '.'
                           || byte == '_' || byte == '~';
        if (plain) {
            out += c;
        } else {
            out += '%';
            out += digits[byte >> 4];
            out += digits[byte & 15];
        }
    }
    return out;
}

// How the client reads a value: "\x" becomes '%', then the bytes are percent-decoded (a '%'
// without two hex digits stays as it is).
std::string clientDecode(std::string_view value)
{
    std::string text;
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size() && value[i + 1] == 'x') {
            text += '%';
            ++i;
        } else {
            text += value[i];
        }
    }
    const auto hex = [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    };
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hex(text[i + 1]) && hex(text[i + 2])) {
            out += char(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string xmlUnescape(std::string_view text)
{
    static const std::pair<std::string_view, char> entities[]
        = {{"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
    std::string out;
    for (size_t i = 0; i < text.size();) {
        if (text[i] != '&') {
            out += text[i++];
            continue;
        }
        bool known = false;
        for (const auto &[entity, c] : entities) {
            if (text.substr(i, entity.size()) == entity) {
                out += c;
                i += entity.size();
                known = true;
                break;
            }
        }
        FUZZ_CHECK(known);
    }
    return out;
}

void checkCodec(std::string_view text)
{
    const bool valid = TextHelpers::isValidUtf8(text);
    FUZZ_CHECK(valid == referenceUtf8(text));

    std::string decoded;
    if (TextHelpers::percentDecode(text, decoded)) {
        size_t escapes = 0;
        for (const char c : text)
            escapes += c == '%';
        FUZZ_CHECK(decoded.size() == text.size() - 2 * escapes);
    }
    std::string back;
    FUZZ_CHECK(TextHelpers::percentDecode(percentEncodeAll(text), back) && back == text);

    const std::string value = TextHelpers::escapeValue(text);
    FUZZ_CHECK(TextHelpers::isValidUtf8(value));
    FUZZ_CHECK(isXmlText(value));
    // Readers drop whitespace-only text.
    FUZZ_CHECK(value.empty() || value.find_first_not_of(" \t\r\n") != std::string::npos);
    FUZZ_CHECK(value.find('\\') == std::string::npos);
    FUZZ_CHECK(clientDecode(value) == text);

    const std::string xml = TextHelpers::escapeXml(value);
    FUZZ_CHECK(xml.find_first_of("<>\"'") == std::string::npos);
    FUZZ_CHECK(xmlUnescape(xml) == value);

    const std::string slug = TextHelpers::slug(text);
    FUZZ_CHECK(!slug.empty() && slug.size() <= 60);
    FUZZ_CHECK(slug.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-")
               == std::string::npos);
    FUZZ_CHECK(slug.front() != '-' && slug.back() != '-');
}

void checkQuery(std::string_view text)
{
    const SearchQuery query(text);
    for (const std::string &word : query.words()) {
        FUZZ_CHECK(!word.empty());
        // Letters and digits only; ASCII letters in lower case.
        for (const char c : word) {
            const auto byte = static_cast<unsigned char>(c);
            FUZZ_CHECK(byte >= 0x80 || (byte >= '0' && byte <= '9')
                       || (byte >= 'a' && byte <= 'z'));
        }
        // Bytes that are no UTF-8 separate words, so every word is valid text.
        FUZZ_CHECK(TextHelpers::isValidUtf8(word));
    }
    FUZZ_CHECK(query.isEmpty() == query.words().empty());
}

void checkParsed(const SearchRequest &request)
{
    if (request.outcome() == SearchRequest::Outcome::Invalid)
        FUZZ_CHECK(!request.error().empty());
    if (request.outcome() != SearchRequest::Outcome::Valid)
        return;
    FUZZ_CHECK(request.count() >= 1 && request.count() <= SearchRequest::maxCount);
    FUZZ_CHECK(request.start() >= 0 && request.start() <= 999999999);
    FUZZ_CHECK(request.query().size() <= SearchRequest::maxQueryBytes);
    FUZZ_CHECK(TextHelpers::isValidUtf8(request.query()));
}

void checkRequests(std::string_view text)
{
    // The input as a whole path, and as what follows the fixed prefix.
    checkParsed(SearchRequest::parse(text));
    checkParsed(SearchRequest::parse("/api/v0.2/" + std::string(text)));

    // The input as a query, encoded the way a client may: it must come back unchanged.
    const std::string id(40, 'a');
    const std::string path = "/api/v0.2/" + id + "/music/search/" + percentEncodeAll(text) + "/"
                             + std::to_string(text.size()) + "/0"
                             + std::to_string(text.size() % 60);
    const SearchRequest request = SearchRequest::parse(path);
    checkParsed(request);
    const bool acceptable = TextHelpers::isValidUtf8(text)
                            && text.size() <= SearchRequest::maxQueryBytes && text.size() % 60 != 0;
    FUZZ_CHECK((request.outcome() == SearchRequest::Outcome::Valid) == acceptable);
    if (acceptable) {
        FUZZ_CHECK(request.query() == text);
        FUZZ_CHECK(request.start() == int64_t(text.size()));
        FUZZ_CHECK(request.count() == std::min<int>(50, int(text.size() % 60)));
    }
}

} // namespace

void CatalogCheck::run(const uint8_t *data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    checkCodec(text);
    checkQuery(text);
    checkRequests(text);
}
