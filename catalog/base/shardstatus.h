#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace catalog {

// How a front sees one shard: each of its copies (the primary first), as its /status shows
// them. Plain data, copied out of the front.
struct ShardStatus
{
    struct Copy
    {
        std::string address; // host:port
        bool up = false;
        int64_t lastAnswer = 0; // milliseconds since the epoch; 0: never
        std::string error;      // why it is left out, while it is
    };
    std::vector<Copy> copies;
    uint64_t documents = 0; // as the copy in use last said
};

} // namespace catalog
