#pragma once

#include <cstddef>
#include <cstdint>

// The crawler's readers of HTML pages, feeds and playlists: whatever the bytes, every link
// they give is an absolute http or https address of bounded length without a fragment, and
// every further page lies on the page's own host.
class LinksCheck
{
public:
    static void run(const uint8_t *data, size_t size);
};
