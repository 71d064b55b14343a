#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace catalog {

class SubsonicParams;

// The API's users and their logins: names and passwords from a file of "name:password"
// lines, read once at start, and the count of failed logins per client address. check() is
// called on every event loop at once; the counts are the only shared state and are kept
// under a lock. load() returns false with *error when the file cannot be read, is readable by
// anyone but its owner, or holds no user.
class SubsonicUsers
{
public:
    // The API's error codes of a login.
    enum class Outcome {
        Accepted = 0,
        Missing = 10,     // no user, or neither password nor token and salt
        Wrong = 40,       // wrong user name or password, or too many failures lately
        Unsupported = 42, // an API key: not offered
        Conflicting = 43, // a password and a token at once
    };

    bool load(const std::string &path, std::string *error);

    // Checks the request's u with p (plain or "enc:" hex) or t and s (md5 of password and
    // salt, hex). Failures from one address count: beyond maxFailures within failureWindow
    // every login from it fails, also with the right password, until the window has passed.
    Outcome check(const SubsonicParams &params, const std::string &client);

    static constexpr unsigned maxFailures = 20;
    static constexpr std::chrono::seconds failureWindow{60};

private:
    struct Failures
    {
        unsigned count = 0;
        std::chrono::steady_clock::time_point since;
    };

    Outcome verify(const SubsonicParams &params) const;

    std::unordered_map<std::string, std::string> m_passwords;
    std::mutex m_mutex;
    std::unordered_map<std::string, Failures> m_failures;
};

} // namespace catalog
