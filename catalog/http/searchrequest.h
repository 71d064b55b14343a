#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace catalog {

// A search request path: /api/v0.2/{id}/music/search/{query}/{start}/{count}, checked
// strictly. The path is taken raw (still percent-encoded), so an encoded '/' inside the
// query stays part of the query. A value; parse() is pure and safe on any thread. A path that
// is a search but breaks a rule is Invalid, and error() says which (the front answers 400).
class SearchRequest
{
public:
    enum class Outcome { NotSearch, Valid, Invalid };

    static constexpr int maxCount = 50;
    static constexpr size_t maxQueryBytes = 1000;

    // path: the request path without its query string.
    static SearchRequest parse(std::string_view path);

    Outcome outcome() const { return m_outcome; }
    const std::string &error() const { return m_error; }
    const std::string &query() const { return m_query; } // decoded UTF-8
    int64_t start() const { return m_start; }
    int count() const { return m_count; } // 1 to 50

private:
    Outcome m_outcome = Outcome::NotSearch;
    std::string m_error;
    std::string m_query;
    int64_t m_start = 0;
    int m_count = 0;
};

} // namespace catalog
