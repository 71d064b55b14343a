#include "httpreply.h"

#include <unistd.h>

#include <utility>

namespace catalog {

HttpReply::~HttpReply()
{
    if (fileFd >= 0)
        ::close(fileFd);
}

HttpReply::HttpReply(HttpReply &&other) noexcept
    : status(other.status)
    , contentType(std::move(other.contentType))
    , body(std::move(other.body))
    , headers(std::move(other.headers))
    , fileFd(std::exchange(other.fileFd, -1))
    , fileOffset(other.fileOffset)
    , fileLength(other.fileLength)
{}

HttpReply &HttpReply::operator=(HttpReply &&other) noexcept
{
    if (this != &other) {
        if (fileFd >= 0)
            ::close(fileFd);
        status = other.status;
        contentType = std::move(other.contentType);
        body = std::move(other.body);
        headers = std::move(other.headers);
        fileFd = std::exchange(other.fileFd, -1);
        fileOffset = other.fileOffset;
        fileLength = other.fileLength;
    }
    return *this;
}

} // namespace catalog
