#include "remotetrack.h"

#include "texthelpers.h"
#include "tracknames.h"

#include <taglib/id3v2framefactory.h>
#include <taglib/mpegfile.h>
#include <taglib/tag.h>
#include <taglib/tbytevectorstream.h>
#include <taglib/xingheader.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace catalog {

namespace {

std::string latin1ToUtf8(std::string_view text)
{
    std::string out;
    out.reserve(text.size() * 2);
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            out += c;
        } else {
            out += char(0xC0 | (byte >> 6));
            out += char(0x80 | (byte & 0x3F));
        }
    }
    return out;
}

// Whether a link's text tells something of its track: not "download", "ok", "here", a bare
// number or the file's own name.
bool saysSomething(const std::string &text, const std::string &fileName)
{
    static const char *const empty[]
        = {"ok",         "download", "mp3",           "listen",       "here",
           "click here", "play",     "link",          "file",         "get",
           "stream",     "this",     "direct link",   "download mp3", "mp3 download",
           "save",       "audio",    "download here", "listen here",  "play now"};
    const std::string lower = TextHelpers::lowerAscii(text);
    if (lower.find_first_not_of("0123456789 .-_()[]#") == std::string::npos)
        return false;
    for (const char *word : empty) {
        if (lower == word)
            return false;
    }
    return lower != TextHelpers::lowerAscii(fileName);
}

std::string withoutMp3(std::string_view name)
{
    if (name.size() > 4) {
        const std::string_view ending = name.substr(name.size() - 4);
        if (ending[0] == '.' && (ending[1] | 0x20) == 'm' && (ending[2] | 0x20) == 'p'
            && ending[3] == '3')
            name.remove_suffix(4);
    }
    return std::string(TextHelpers::trimmed(name));
}

std::string tagText(const TagLib::String &text)
{
    return std::string(TextHelpers::trimmed(text.to8Bit(true)));
}

// Where an ID3v2 tag at the start of head ends, or 0 when there is none.
int64_t tagEnd(std::string_view head)
{
    if (head.size() < 10 || head.compare(0, 3, "ID3") != 0)
        return 0;
    int64_t length = 0;
    for (int i = 6; i < 10; ++i) {
        const auto byte = static_cast<unsigned char>(head[size_t(i)]);
        if (byte & 0x80)
            return 0; // not a synchsafe size: no tag
        length = length << 7 | byte;
    }
    const bool footer = static_cast<unsigned char>(head[5]) & 0x10;
    return 10 + length + (footer ? 10 : 0);
}

// Takes the empty frames (size 0) out of an ID3v2.3 or 2.4 tag at the start of bytes, within
// its first known bytes: TagLib stops reading a tag at one, and loses every frame after it.
// The frames after move up and the tag keeps its size, the room left becoming padding.
void dropEmptyFrames(TagLib::ByteVector &bytes, int64_t known)
{
    auto *data = reinterpret_cast<unsigned char *>(bytes.data());
    const int version = bytes.size() >= 10 ? data[3] : 0;
    const int64_t end
        = std::min<int64_t>(tagEnd({bytes.data(), std::min<size_t>(10, bytes.size())}),
                            std::min<int64_t>(known, bytes.size()));
    if ((version != 3 && version != 4) || end <= 10 || (version == 3 && (data[5] & 0x80)))
        return; // an older tag, or one unsynchronised as a whole
    const auto number = [data, version](int64_t at) {
        int64_t n = 0;
        for (int i = 0; i < 4; ++i)
            n = version == 4 ? n << 7 | (data[at + i] & 0x7F) : n << 8 | data[at + i];
        return n;
    };
    int64_t at = 10;
    if ((data[5] & 0x40) && end >= 14)
        at += version == 4 ? number(10) : 4 + number(10); // the extended header
    int64_t filled = end;
    while (at + 10 <= filled) {
        const bool isId = std::all_of(data + at, data + at + 4, [](unsigned char c) {
            return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        });
        if (!isId)
            return; // padding, or a frame TagLib will not read either
        const int64_t size = number(at + 4);
        if (size > 0) {
            at += 10 + size;
            continue;
        }
        std::copy(data + at + 10, data + filled, data + at);
        std::fill(data + filled - 10, data + filled, 0);
        filled -= 10;
    }
}

// An MPEG audio frame's length in bytes and the samples it carries, from its header; nothing
// when the four bytes are no frame header.
struct FrameHeader
{
    int length = 0;
    int samples = 0;
    int sampleRate = 0;
    unsigned char kind = 0; // version and layer bits, the same for every frame of a file
};

std::optional<FrameHeader> frameHeader(const unsigned char *h)
{
    static const int rates[4][3]
        = {{11025, 12000, 8000}, {0, 0, 0}, {22050, 24000, 16000}, {44100, 48000, 32000}};
    static const short kbits[2][3][16]
        = {{{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
            {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
            {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
           {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
            {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
            {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}}};
    const int version = (h[1] >> 3) & 3; // 0: 2.5, 2: 2, 3: 1
    const int layer = 4 - ((h[1] >> 1) & 3);
    const int bitrateIndex = h[2] >> 4;
    const int rateIndex = (h[2] >> 2) & 3;
    if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0 || version == 1 || layer == 4 || bitrateIndex == 0
        || bitrateIndex == 15 || rateIndex == 3)
        return std::nullopt;
    const bool mpeg1 = version == 3;
    FrameHeader frame;
    frame.sampleRate = rates[version][rateIndex];
    const int bits = kbits[mpeg1 ? 0 : 1][layer - 1][bitrateIndex] * 1000;
    const int padding = (h[2] >> 1) & 1;
    frame.samples = layer == 1 ? 384 : layer == 2 || mpeg1 ? 1152 : 576;
    frame.length = layer == 1 ? (12 * bits / frame.sampleRate + padding) * 4
                              : frame.samples / 8 * bits / frame.sampleRate + padding;
    frame.kind = h[1] & 0x1E;
    return frame;
}

// The average bytes a second of the frames that follow each other from `from` up to `end`,
// or 0 when there are too few to tell: a file with a variable bit rate and no Xing or VBRI
// header says its length by no other means, and its first frame (often silence) is no
// measure of the rest.
double averageBytesPerSecond(const TagLib::ByteVector &bytes, int64_t from, int64_t end)
{
    const auto *data = reinterpret_cast<const unsigned char *>(bytes.data());
    end = std::min<int64_t>(end, bytes.size());
    int64_t at = from, frames = 0, samples = 0;
    std::optional<FrameHeader> first;
    while (at >= 0 && at + 4 <= end) {
        const auto frame = frameHeader(data + at);
        if (!frame || frame->length < 4 || at + frame->length > end
            || (first && (frame->kind != first->kind || frame->sampleRate != first->sampleRate)))
            break;
        if (!first)
            first = frame;
        ++frames;
        samples += frame->samples;
        at += frame->length;
    }
    if (frames < 8 || !first)
        return 0;
    return double(at - from) * first->sampleRate / double(samples);
}

} // namespace

std::string RemoteTrack::fileName(const std::string &url)
{
    std::string_view path(url);
    path = path.substr(0, std::min(path.find('?'), path.find('#')));
    const size_t slash = path.rfind('/');
    if (slash != std::string_view::npos)
        path.remove_prefix(slash + 1);
    std::string name;
    if (!TextHelpers::percentDecode(path, name))
        name = std::string(path);
    if (!TextHelpers::isValidUtf8(name))
        name = latin1ToUtf8(name);
    return withoutMp3(name);
}

int64_t RemoteTrack::audioStart(std::string_view head)
{
    const int64_t end = tagEnd(head);
    // A frame and its Xing header need a few kilobytes after the tag.
    return end > 0 && end + 4096 > int64_t(head.size()) ? end : 0;
}

int64_t RemoteTrack::streamBytes(std::string_view head, int64_t size)
{
    if (size <= maxStreamBytes)
        return std::max<int64_t>(0, size);
    return std::clamp(tagEnd(head) + audioBytes, headBytes, maxStreamBytes);
}

std::optional<TrackRecord> RemoteTrack::read(const FoundTrack &found, std::string_view head,
                                             std::string_view tail, int64_t size, std::string *why,
                                             std::string_view audio, int64_t audioOffset)
{
    const auto refuse = [why](const char *reason) -> std::optional<TrackRecord> {
        if (why)
            *why = reason;
        return std::nullopt;
    };
    TagLib::ByteVector bytes(head.data(), unsigned(head.size()));
    dropEmptyFrames(bytes, int64_t(head.size()));
    if (!audio.empty() && audioOffset >= int64_t(head.size()) && audioOffset <= maxTagBytes) {
        // The tag's unread part (a picture) as zeros, so the audio lies where the tag says.
        bytes.resize(unsigned(audioOffset), '\0');
        bytes.append(TagLib::ByteVector(audio.data(), unsigned(audio.size())));
    }
    bytes.append(TagLib::ByteVector(tail.data(), unsigned(tail.size())));
    TagLib::ByteVectorStream stream(bytes);
    TagLib::MPEG::File file(&stream, TagLib::ID3v2::FrameFactory::instance(), true,
                            TagLib::AudioProperties::Fast);
    const TagLib::MPEG::Properties *properties = file.audioProperties();
    if (!file.isValid() || !properties || properties->sampleRate() <= 0
        || properties->bitrate() <= 0)
        return refuse("no MPEG audio");

    TrackRecord track;
    track.path = found.url;
    track.size = size;
    track.fileName = fileName(found.url);
    if (const TagLib::Tag *tag = file.tag()) {
        track.title = tagText(tag->title());
        track.creator = tagText(tag->artist());
        track.album = tagText(tag->album());
    }
    const TagLib::MPEG::XingHeader *xing = properties->xingHeader();
    if (xing && xing->isValid() && xing->totalFrames() > 0) {
        track.durationMs = properties->lengthInMilliseconds();
    } else {
        // The audio bytes over the rate of the frames read, else of the first frame.
        const int64_t first = std::max<int64_t>(0, file.firstFrameOffset());
        int64_t audioBytes = std::max<int64_t>(0, size - first - (file.hasID3v1Tag() ? 128 : 0));
        const int64_t readEnd
            = audio.empty() ? int64_t(head.size()) : audioOffset + int64_t(audio.size());
        const double rate = averageBytesPerSecond(bytes, first, readEnd);
        track.durationMs = rate > 0 ? int64_t(double(audioBytes) * 1000 / rate)
                                    : audioBytes * 8 / properties->bitrate();
    }

    if (track.title.empty())
        track.title = std::string(TextHelpers::trimmed(found.title));
    if (track.creator.empty())
        track.creator = std::string(TextHelpers::trimmed(found.creator));
    // A link's text, and else the file's name, as "Artist - Title" (listings show names).
    // Where neither title nor creator is known yet, both come from the first name that gives
    // both, not the title from one and the creator from the other.
    std::vector<std::string> names;
    const std::string text = withoutMp3(TextHelpers::trimmed(found.text));
    if (saysSomething(text, track.fileName))
        names.push_back(text);
    names.push_back(track.fileName);
    if (track.title.empty() && track.creator.empty()) {
        for (const std::string &name : names) {
            if (name.find(" - ") != std::string::npos) {
                TrackNames::fillFromName(track, name);
                break;
            }
        }
    }
    for (const std::string &name : names) {
        if (!track.title.empty() && !track.creator.empty())
            break;
        if (!name.empty())
            TrackNames::fillFromName(track, name);
    }
    for (std::string *text : {&track.title, &track.creator, &track.album, &track.fileName})
        *text = TextHelpers::bounded(*text);
    return track;
}

} // namespace catalog
