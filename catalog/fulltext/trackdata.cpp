#include "trackdata.h"

#include <charconv>
#include <vector>

namespace catalog {

namespace {

// Fields are separated by NUL, which neither tags, paths nor addresses hold.
constexpr char separator = '\0';
const char *const version = "t1";

bool toNumber(const std::string &text, int64_t &value)
{
    const char *end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    return result.ec == std::errc() && result.ptr == end;
}

} // namespace

std::string TrackData::encode(const TrackRecord &track)
{
    std::string data = version;
    for (const std::string *field : {&track.title, &track.creator, &track.album, &track.path}) {
        data += separator;
        data += *field;
    }
    data += separator;
    data += std::to_string(track.id);
    data += separator;
    data += std::to_string(track.durationMs);
    return data;
}

std::optional<TrackRecord> TrackData::decode(const std::string &data)
{
    std::vector<std::string> fields;
    size_t from = 0;
    for (;;) {
        const size_t at = data.find(separator, from);
        fields.push_back(
            data.substr(from, at == std::string::npos ? std::string::npos : at - from));
        if (at == std::string::npos)
            break;
        from = at + 1;
    }
    TrackRecord track;
    if (fields.size() != 7 || fields[0] != version || !toNumber(fields[5], track.id)
        || !toNumber(fields[6], track.durationMs))
        return std::nullopt;
    track.title = std::move(fields[1]);
    track.creator = std::move(fields[2]);
    track.album = std::move(fields[3]);
    track.path = std::move(fields[4]);
    return track;
}

} // namespace catalog
