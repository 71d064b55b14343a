#pragma once

#include <string>
#include <string_view>

namespace catalog {

// What an answer is, from its Content-Type, its address and how its text begins. Pure
// functions, safe on any thread.
class MediaTypes
{
public:
    enum class PageKind { Html, Feed, Playlist, Other };

    // "text/html; charset=ISO-8859-1" -> "text/html", and the charset into *charset. A null
    // header gives "".
    static std::string of(const char *header, std::string *charset = nullptr);

    // How to read a page's body.
    static PageKind pageKind(const std::string &type, const std::string &url,
                             std::string_view body);
    // What a page, feed or playlist may be sent as; anything else is not read past its
    // header.
    static bool isPage(const std::string &type, const std::string &url);
    // Links to files no page reader can use; listings are full of them.
    static bool isSurelyNoPage(const std::string &url);
    static bool isAudio(const std::string &type);
};

} // namespace catalog
