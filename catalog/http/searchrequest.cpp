#include "searchrequest.h"

#include "texthelpers.h"

#include <vector>

namespace catalog {

namespace {

std::vector<std::string_view> split(std::string_view text, char separator)
{
    std::vector<std::string_view> parts;
    size_t from = 0;
    for (;;) {
        const size_t at = text.find(separator, from);
        if (at == std::string_view::npos) {
            parts.push_back(text.substr(from));
            return parts;
        }
        parts.push_back(text.substr(from, at - from));
        from = at + 1;
    }
}

bool allDigits(std::string_view text)
{
    if (text.empty())
        return false;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

} // namespace

SearchRequest SearchRequest::parse(std::string_view path)
{
    SearchRequest request;
    constexpr std::string_view prefix = "/api/v0.2/";
    if (path.substr(0, prefix.size()) != prefix)
        return request;
    const auto parts = split(path.substr(prefix.size()), '/');
    if (parts.size() != 6 || parts[1] != "music" || parts[2] != "search")
        return request;

    request.m_outcome = Outcome::Invalid;
    const std::string_view id = parts[0];
    bool idValid = id.size() == 40;
    for (const char c : id)
        idValid = idValid && ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z'));
    if (!idValid) {
        request.m_error = "the request id must be 40 characters of 0-9 and a-z";
        return request;
    }
    if (!TextHelpers::percentDecode(parts[3], request.m_query)) {
        request.m_error = "the query has a broken percent escape";
        return request;
    }
    if (!TextHelpers::isValidUtf8(request.m_query)) {
        request.m_error = "the query is not valid UTF-8";
        return request;
    }
    if (request.m_query.size() > maxQueryBytes) {
        request.m_error = "the query is longer than 1000 bytes";
        return request;
    }
    // Nine digits keep the value far from overflow; no collection has a billion tracks.
    if (!allDigits(parts[4]) || parts[4].size() > 9) {
        request.m_error = "the start must be a number from 0 to 999999999";
        return request;
    }
    if (!allDigits(parts[5])) {
        request.m_error = "the count must be a number from 1 to 50";
        return request;
    }
    request.m_start = std::stoll(std::string(parts[4]));
    const std::string_view count = parts[5];
    const size_t significant = count.find_first_not_of('0');
    if (significant == std::string_view::npos) {
        request.m_error = "the count must be a number from 1 to 50";
        return request;
    }
    const std::string_view digits = count.substr(significant);
    request.m_count
        = digits.size() > 2 ? maxCount : std::min(maxCount, std::stoi(std::string(digits)));
    request.m_outcome = Outcome::Valid;
    return request;
}

} // namespace catalog
