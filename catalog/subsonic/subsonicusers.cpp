#include "subsonicusers.h"

#include "subsonicparams.h"
#include "texthelpers.h"

#include <gnutls/crypto.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace catalog {

namespace {

// Compares in time that does not depend on where the texts first differ.
bool sameSecret(const std::string &a, const std::string &b)
{
    if (a.size() != b.size())
        return false;
    unsigned char differ = 0;
    for (size_t i = 0; i < a.size(); ++i)
        differ |= static_cast<unsigned char>(a[i] ^ b[i]);
    return differ == 0;
}

std::string md5Hex(const std::string &text)
{
    unsigned char digest[16];
    if (gnutls_hash_fast(GNUTLS_DIG_MD5, text.data(), text.size(), digest) != 0)
        return {};
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (const unsigned char byte : digest) {
        out += hex[byte >> 4];
        out += hex[byte & 15];
    }
    return out;
}

bool decodeHex(std::string_view hex, std::string &out)
{
    if (hex.size() % 2 != 0)
        return false;
    out.clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int high = TextHelpers::hexValue(hex[i]);
        const int low = TextHelpers::hexValue(hex[i + 1]);
        if (high < 0 || low < 0)
            return false;
        out += char(high * 16 + low);
    }
    return true;
}

} // namespace

bool SubsonicUsers::load(const std::string &path, std::string *error)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        *error = "cannot read the users file " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat info;
    std::string text;
    bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    if (ok && (info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        ::close(fd);
        *error = "the users file " + path
                 + " holds passwords and must be readable by its owner only (chmod 600 it)";
        return false;
    }
    char buffer[4096];
    ssize_t got = 0;
    while (ok && (got = ::read(fd, buffer, sizeof buffer)) > 0 && text.size() < (1u << 20))
        text.append(buffer, size_t(got));
    ok = ok && got >= 0;
    ::close(fd);
    if (!ok) {
        *error = "cannot read the users file " + path;
        return false;
    }
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line[0] == '#')
            continue;
        const size_t colon = line.find(':');
        if (colon == 0 || colon == std::string::npos || colon + 1 == line.size()) {
            *error = "the users file " + path + " has a line that is not name:password";
            return false;
        }
        m_passwords[line.substr(0, colon)] = line.substr(colon + 1);
    }
    if (m_passwords.empty()) {
        *error = "the users file " + path + " names no user";
        return false;
    }
    return true;
}

SubsonicUsers::Outcome SubsonicUsers::verify(const SubsonicParams &params) const
{
    const auto user = params.value("u");
    const auto password = params.value("p");
    const auto token = params.value("t");
    const auto salt = params.value("s");
    if (params.has("apiKey"))
        return user || password || token ? Outcome::Conflicting : Outcome::Unsupported;
    if (password && (token || salt))
        return Outcome::Conflicting;
    if (!user || (!password && !(token && salt)))
        return Outcome::Missing;
    const auto known = m_passwords.find(*user);
    if (known == m_passwords.end())
        return Outcome::Wrong;
    if (password) {
        std::string given = *password;
        if (given.compare(0, 4, "enc:") == 0
            && !decodeHex(std::string_view(given).substr(4), given))
            return Outcome::Wrong;
        return sameSecret(given, known->second) ? Outcome::Accepted : Outcome::Wrong;
    }
    return sameSecret(TextHelpers::lowerAscii(*token), md5Hex(known->second + *salt))
               ? Outcome::Accepted
               : Outcome::Wrong;
}

SubsonicUsers::Outcome SubsonicUsers::check(const SubsonicParams &params, const std::string &client)
{
    const auto now = std::chrono::steady_clock::now();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto found = m_failures.find(client);
        if (found != m_failures.end()) {
            if (now - found->second.since > failureWindow)
                m_failures.erase(found);
            else if (found->second.count >= maxFailures)
                return Outcome::Wrong;
        }
    }
    const Outcome outcome = verify(params);
    if (outcome != Outcome::Wrong)
        return outcome;
    std::lock_guard<std::mutex> lock(m_mutex);
    // Kept small: an address's record goes once its window has passed.
    if (m_failures.size() > 10000) {
        for (auto it = m_failures.begin(); it != m_failures.end();)
            it = now - it->second.since > failureWindow ? m_failures.erase(it) : std::next(it);
    }
    auto &failures = m_failures[client];
    if (failures.count == 0)
        failures.since = now;
    ++failures.count;
    return outcome;
}

} // namespace catalog
