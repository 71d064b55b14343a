#include "linkresolver.h"

#include "texthelpers.h"
#include "weblink.h"

namespace catalog {

namespace {

std::string part(CURLU *url, CURLUPart which)
{
    char *text = nullptr;
    if (curl_url_get(url, which, &text, 0) != CURLUE_OK || !text)
        return {};
    std::string result(text);
    curl_free(text);
    return result;
}

bool isAlphaNumeric(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool isHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// A path the parser would give back as it is: characters that need no encoding and no
// "." or ".." segment.
bool isPlainPath(std::string_view path)
{
    size_t segment = 0;
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') {
            const std::string_view name = path.substr(segment, i - segment);
            if (name == "." || name == "..")
                return false;
            segment = i + 1;
            continue;
        }
        const char c = path[i];
        if (c == '%' && i + 2 < path.size() + 0 && isHex(path[i + 1]) && isHex(path[i + 2])) {
            i += 2;
            continue;
        }
        if (!isAlphaNumeric(c)
            && std::string_view("-._~!$&'()*+,;=@").find(c) == std::string_view::npos)
            return false;
    }
    return true;
}

// "host[:port]" the parser would give back as it is: a lower-case name, or a dotted quad
// without leading zeros (other spellings of numeric addresses are rewritten), and a port that
// is not the scheme's own.
bool isPlainAuthority(std::string_view authority, std::string_view defaultPort)
{
    const size_t colon = authority.find(':');
    const std::string_view host = authority.substr(0, colon);
    if (host.empty() || host.size() > 253)
        return false;
    if (colon != std::string_view::npos) {
        const std::string_view port = authority.substr(colon + 1);
        if (port.empty() || port.size() > 5 || port[0] == '0' || port == defaultPort)
            return false;
        for (const char c : port) {
            if (c < '0' || c > '9')
                return false;
        }
        if (std::stoi(std::string(port)) > 65535)
            return false;
    }
    if (host[0] >= '0' && host[0] <= '9') {
        int parts = 0;
        size_t start = 0;
        while (start <= host.size()) {
            const size_t dot = std::min(host.find('.', start), host.size());
            const std::string_view number = host.substr(start, dot - start);
            if (number.empty() || number.size() > 3 || (number.size() > 1 && number[0] == '0'))
                return false;
            int value = 0;
            for (const char c : number) {
                if (c < '0' || c > '9')
                    return false;
                value = value * 10 + (c - '0');
            }
            if (value > 255)
                return false;
            ++parts;
            start = dot + 1;
        }
        return parts == 4;
    }
    char previous = '.';
    for (const char c : host) {
        const bool letterOrDigit = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        if (!letterOrDigit && !(c == '-' && previous != '.') && !(c == '.' && previous != '.'))
            return false;
        previous = c;
    }
    return previous != '.' && previous != '-';
}

} // namespace

LinkResolver::LinkResolver(const std::string &base)
    : m_base(curl_url())
{
    if (!m_base || curl_url_set(m_base.get(), CURLUPART_URL, base.c_str(), 0) != CURLUE_OK) {
        m_base.reset();
        return;
    }
    // A base's fragment plays no part in resolving (RFC 3986, 5.2.2); left in, a "/" or "?"
    // in it would mislead the parser's joining.
    curl_url_set(m_base.get(), CURLUPART_FRAGMENT, nullptr, 0);
    const std::string scheme = part(m_base.get(), CURLUPART_SCHEME);
    if (scheme != "http" && scheme != "https")
        return;
    // The parser gives back what it was given in some parts of an address and encodes them
    // when it resolves a reference: the shortcut is taken only where the base is plain.
    const std::string url = part(m_base.get(), CURLUPART_URL);
    const size_t authority = scheme.size() + 3;
    const size_t path = url.find('/', authority);
    const size_t slash = url.rfind('/', url.find('?'));
    if (path == std::string::npos || slash == std::string::npos || slash < path)
        return;
    const std::string_view text(url);
    if (isPlainAuthority(text.substr(authority, path - authority), scheme == "https" ? "443" : "80")
        && isPlainPath(text.substr(path, slash + 1 - path))
        && text.substr(path, slash + 1 - path).find("//") == std::string_view::npos)
        m_directory = url.substr(0, slash + 1);
}

std::string LinkResolver::resolve(std::string_view reference) const
{
    const std::string_view text = TextHelpers::trimmed(reference);
    if (!m_base || text.empty() || text.size() > WebLink::maxLength)
        return {};
    const bool secure = text.compare(0, 8, "https://") == 0;
    if (secure || text.compare(0, 7, "http://") == 0) {
        const std::string_view rest = text.substr(secure ? 8 : 7);
        const size_t slash = rest.find('/');
        if (slash != std::string_view::npos
            && isPlainAuthority(rest.substr(0, slash), secure ? "443" : "80")
            && isPlainPath(rest.substr(slash)))
            return std::string(text);
    } else if (!m_directory.empty() && text[0] != '/' && isPlainPath(text)) {
        if (m_directory.size() + text.size() > WebLink::maxLength)
            return {};
        std::string url;
        url.reserve(m_directory.size() + text.size());
        return url.append(m_directory).append(text);
    }
    return parse(text);
}

std::string LinkResolver::parse(std::string_view reference) const
{
    reference = TextHelpers::trimmed(reference);
    if (!m_base || reference.empty() || reference.size() > WebLink::maxLength)
        return {};
    std::unique_ptr<CURLU, UrlDeleter> url(curl_url_dup(m_base.get()));
    // Relative references resolve against what is already set; spaces and other bytes that
    // links carry unescaped are encoded.
    const std::string text(reference);
    if (!url || curl_url_set(url.get(), CURLUPART_URL, text.c_str(), CURLU_URLENCODE) != CURLUE_OK)
        return {};
    const std::string scheme = part(url.get(), CURLUPART_SCHEME);
    if (scheme != "http" && scheme != "https")
        return {};
    curl_url_set(url.get(), CURLUPART_FRAGMENT, nullptr, 0);
    std::string resolved = part(url.get(), CURLUPART_URL);
    if (resolved.size() > WebLink::maxLength)
        return {};
    return resolved;
}

} // namespace catalog
