#include "subsonicids.h"

#include "texthelpers.h"

namespace catalog {

namespace {

const char hexDigits[] = "0123456789abcdef";

std::string toHex(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        out += hexDigits[byte >> 4];
        out += hexDigits[byte & 15];
    }
    return out;
}

std::optional<std::string> fromHex(std::string_view hex)
{
    if (hex.size() % 2 != 0)
        return std::nullopt;
    std::string out;
    out.reserve(hex.size() / 2);
    for (size_t i = 0; i < hex.size(); i += 2) {
        int value = 0;
        for (size_t k = 0; k < 2; ++k) {
            const char c = hex[i + k];
            const int digit = c >= '0' && c <= '9'   ? c - '0'
                              : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                     : -1;
            if (digit < 0)
                return std::nullopt;
            value = value * 16 + digit;
        }
        out += char(value);
    }
    return out;
}

std::optional<std::string> withPrefix(std::string_view id, std::string_view prefix)
{
    if (id.substr(0, prefix.size()) != prefix)
        return std::nullopt;
    return fromHex(id.substr(prefix.size()));
}

} // namespace

std::string SubsonicIds::normalised(std::string_view name)
{
    const std::string lower = TextHelpers::lowerAscii(TextHelpers::trimmed(name));
    std::string out;
    out.reserve(lower.size());
    bool blank = false;
    for (const char c : lower) {
        const bool isBlank = c == ' ' || c == '\t' || c == '\n' || c == '\r';
        if (isBlank) {
            blank = true;
            continue;
        }
        if (blank)
            out += ' ';
        blank = false;
        out += c;
    }
    return out;
}

uint64_t SubsonicIds::songKey(std::string_view path)
{
    // FNV-1a over the bytes, then a finaliser that spreads every bit (splitmix64's): fast
    // enough to key a million tracks at each grouping, and fixed forever, as ids must be.
    uint64_t hash = 0xcbf29ce484222325ULL;
    for (const char c : path) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 0x100000001b3ULL;
    }
    hash ^= hash >> 30;
    hash *= 0xbf58476d1ce4e5b9ULL;
    hash ^= hash >> 27;
    hash *= 0x94d049bb133111ebULL;
    hash ^= hash >> 31;
    return hash;
}

std::string SubsonicIds::song(uint64_t key)
{
    std::string out = "tr-";
    for (int shift = 60; shift >= 0; shift -= 4)
        out += hexDigits[(key >> shift) & 15];
    return out;
}

std::optional<uint64_t> SubsonicIds::parseSong(std::string_view id)
{
    const auto bytes = withPrefix(id, "tr-");
    if (!bytes || bytes->size() != 8)
        return std::nullopt;
    uint64_t key = 0;
    for (const char c : *bytes)
        key = (key << 8) | static_cast<unsigned char>(c);
    return key;
}

std::string SubsonicIds::album(std::string_view key)
{
    return "al-" + toHex(key);
}

std::optional<std::string> SubsonicIds::parseAlbum(std::string_view id)
{
    return withPrefix(id, "al-");
}

std::string SubsonicIds::artist(std::string_view key)
{
    return "ar-" + toHex(key);
}

std::optional<std::string> SubsonicIds::parseArtist(std::string_view id)
{
    return withPrefix(id, "ar-");
}

} // namespace catalog
