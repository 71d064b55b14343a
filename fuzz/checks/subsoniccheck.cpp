#include "subsoniccheck.h"

#include "fuzzcheck.h"

#include "subsonicnode.h"
#include "subsonicparams.h"
#include "texthelpers.h"

#include <string>
#include <string_view>

using catalog::SubsonicNode;
using catalog::SubsonicParams;
using catalog::TextHelpers;

namespace {

std::string encode(std::string_view text)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
            out += c;
        else if (c == ' ')
            out += '+';
        else
            out.append(1, '%').append(1, hex[byte >> 4]).append(1, hex[byte & 15]);
    }
    return out;
}

// Between the quotes of an attribute or a JSON string, or in XML text: no raw character the
// format reserves, and only known entities.
void checkXmlText(std::string_view text)
{
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        FUZZ_CHECK(c >= 0x20 && c != '<' && c != '>' && c != '"');
        if (c == '&') {
            const size_t end = text.find(';', i);
            FUZZ_CHECK(end != std::string_view::npos);
            const std::string_view entity = text.substr(i, end - i + 1);
            FUZZ_CHECK(entity == "&amp;" || entity == "&lt;" || entity == "&gt;"
                       || entity == "&quot;" || entity == "&apos;" || entity == "&#9;"
                       || entity == "&#10;" || entity == "&#13;");
        }
    }
}

void checkJsonString(std::string_view text)
{
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        FUZZ_CHECK(c >= 0x20 && c != '"');
        if (c == '\\') {
            FUZZ_CHECK(i + 1 < text.size());
            const char next = text[++i];
            FUZZ_CHECK(next == '"' || next == '\\' || next == 'n' || next == 'r' || next == 't'
                       || next == 'u');
        }
    }
}

} // namespace

void SubsonicCheck::run(const uint8_t *data, size_t size)
{
    const std::string_view input(reinterpret_cast<const char *>(data), size);
    SubsonicParams params;
    if (params.add(input)) {
        FUZZ_CHECK(params.pairs().size() <= SubsonicParams::maxPairs);
        std::string again;
        for (const auto &[name, value] : params.pairs()) {
            FUZZ_CHECK(TextHelpers::isValidUtf8(name) && TextHelpers::isValidUtf8(value));
            again += encode(name) + "=" + encode(value) + "&";
        }
        SubsonicParams decoded;
        FUZZ_CHECK(decoded.add(again));
        FUZZ_CHECK(decoded.pairs() == params.pairs());
    }

    // The raw bytes as a tag might hold them, in an attribute and as text.
    SubsonicNode root("r");
    root.child("e").set("v", input).setText(input);
    const std::string xml = root.xml();
    FUZZ_CHECK(TextHelpers::isValidUtf8(xml));
    const std::string_view head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<r "
                                  "xmlns=\"http://subsonic.org/restapi\"><e v=\"";
    FUZZ_CHECK(xml.compare(0, head.size(), head) == 0);
    const size_t valueEnd = xml.find("\">", head.size());
    FUZZ_CHECK(valueEnd != std::string::npos);
    checkXmlText(std::string_view(xml).substr(head.size(), valueEnd - head.size()));
    const size_t textEnd = xml.find("</e></r>\n", valueEnd + 2);
    FUZZ_CHECK(textEnd != std::string::npos && textEnd + 9 == xml.size());
    checkXmlText(std::string_view(xml).substr(valueEnd + 2, textEnd - valueEnd - 2));

    const std::string json = root.json();
    FUZZ_CHECK(TextHelpers::isValidUtf8(json));
    const std::string_view jsonHead = "{\"r\":{\"e\":{\"v\":\"";
    FUZZ_CHECK(json.compare(0, jsonHead.size(), jsonHead) == 0);
    const size_t middle = json.find("\",\"value\":\"", jsonHead.size());
    FUZZ_CHECK(middle != std::string::npos);
    checkJsonString(std::string_view(json).substr(jsonHead.size(), middle - jsonHead.size()));
    const size_t tail = json.size() - 5;
    FUZZ_CHECK(json.compare(tail, 5, "\"}}}\n") == 0);
    checkJsonString(std::string_view(json).substr(middle + 11, tail - middle - 11));
}
