#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace catalog {

// What the handler answers: a body in memory, or length bytes of an open file from offset,
// sent with sendfile (or paced, when the front throttles files). The reply owns fileFd and
// closes it. Plain data, moved from the thread that makes it to the event loop that sends it.
struct HttpReply
{
    HttpReply() = default;
    ~HttpReply();
    HttpReply(HttpReply &&other) noexcept;
    HttpReply &operator=(HttpReply &&other) noexcept;
    HttpReply(const HttpReply &) = delete;
    HttpReply &operator=(const HttpReply &) = delete;

    int status = 200;
    std::string contentType;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    int fileFd = -1;
    uint64_t fileOffset = 0;
    uint64_t fileLength = 0;
};

} // namespace catalog
