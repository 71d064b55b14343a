#include "subsonicnode.h"

#include "texthelpers.h"

#include <cstdio>

namespace catalog {

namespace {

// Calls put(codePoint) for each character, U+FFFD for every byte that starts no valid
// sequence and for what XML 1.0 cannot carry (controls other than tab and line ends,
// U+FFFE, U+FFFF).
template<class Put>
void eachCharacter(std::string_view text, Put put)
{
    size_t i = 0;
    while (i < text.size()) {
        const auto first = static_cast<unsigned char>(text[i]);
        if (first >= 0x20 && first < 0x80) {
            put(first, text.substr(i, 1));
            ++i;
            continue;
        }
        const size_t length = TextHelpers::utf8SequenceLength(text, i);
        if (length == 0) {
            put(0xFFFD, std::string_view("\xEF\xBF\xBD"));
            ++i;
            continue;
        }
        const auto lead = static_cast<unsigned char>(text[i]);
        uint32_t code = lead;
        if (length > 1) {
            code = lead & (0x7F >> length);
            for (size_t k = 1; k < length; ++k)
                code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        }
        const bool unfit = (code < 0x20 && code != '\t' && code != '\n' && code != '\r')
                           || code == 0xFFFE || code == 0xFFFF;
        if (unfit)
            put(0xFFFD, std::string_view("\xEF\xBF\xBD"));
        else
            put(code, text.substr(i, length));
        i += length;
    }
}

void appendXmlText(std::string &out, std::string_view text)
{
    eachCharacter(text, [&out](uint32_t code, std::string_view bytes) {
        switch (code) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&apos;";
            break;
        case '\t':
            out += "&#9;";
            break;
        case '\n':
            out += "&#10;";
            break;
        case '\r':
            out += "&#13;";
            break;
        default:
            out += bytes;
        }
    });
}

void appendJsonString(std::string &out, std::string_view text)
{
    out += '"';
    eachCharacter(text, [&out](uint32_t code, std::string_view bytes) {
        switch (code) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case 0x2028:
            out += "\\u2028";
            break;
        case 0x2029:
            out += "\\u2029";
            break;
        default:
            out += bytes;
        }
    });
    out += '"';
}

} // namespace

SubsonicNode::SubsonicNode(std::string name)
    : m_name(std::move(name))
{}

SubsonicNode::~SubsonicNode() = default;

SubsonicNode &SubsonicNode::put(std::string_view key, std::string text, int kind)
{
    for (auto &attribute : m_attributes) {
        if (attribute.key == key) {
            attribute.text = std::move(text);
            attribute.kind = Attribute::Kind(kind);
            return *this;
        }
    }
    m_attributes.push_back({key, std::move(text), Attribute::Kind(kind)});
    return *this;
}

SubsonicNode &SubsonicNode::set(std::string_view key, std::string_view text)
{
    return put(key, std::string(text), int(Attribute::Kind::Text));
}

SubsonicNode &SubsonicNode::set(std::string_view key, int64_t number)
{
    return put(key, std::to_string(number), int(Attribute::Kind::Number));
}

SubsonicNode &SubsonicNode::setFlag(std::string_view key, bool flag)
{
    return put(key, flag ? "true" : "false", int(Attribute::Kind::Flag));
}

SubsonicNode &SubsonicNode::setText(std::string_view text)
{
    m_hasText = true;
    m_textIsNumber = false;
    m_text = text;
    return *this;
}

SubsonicNode &SubsonicNode::setNumberText(int64_t number)
{
    m_hasText = true;
    m_textIsNumber = true;
    m_text = std::to_string(number);
    return *this;
}

SubsonicNode::Group &SubsonicNode::group(std::string name, bool isList)
{
    for (auto &existing : m_groups) {
        if (existing.name == name)
            return existing;
    }
    m_groups.push_back({std::move(name), isList, {}});
    return m_groups.back();
}

SubsonicNode &SubsonicNode::child(std::string name)
{
    Group &target = group(name, false);
    target.nodes.push_back(std::make_unique<SubsonicNode>(std::move(name)));
    return *target.nodes.back();
}

SubsonicNode &SubsonicNode::item(std::string name)
{
    Group &target = group(name, true);
    target.nodes.push_back(std::make_unique<SubsonicNode>(std::move(name)));
    return *target.nodes.back();
}

void SubsonicNode::list(std::string name)
{
    group(std::move(name), true);
}

std::string SubsonicNode::xml() const
{
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    writeXml(out, true);
    out += '\n';
    return out;
}

std::string SubsonicNode::json() const
{
    std::string out = "{";
    appendJsonString(out, m_name);
    out += ':';
    writeJson(out);
    out += "}\n";
    return out;
}

void SubsonicNode::writeXml(std::string &out, bool root) const
{
    out += '<';
    out += m_name;
    if (root)
        out += " xmlns=\"http://subsonic.org/restapi\"";
    for (const auto &attribute : m_attributes) {
        out += ' ';
        out += attribute.key;
        out += "=\"";
        appendXmlText(out, attribute.text);
        out += '"';
    }
    bool empty = !m_hasText;
    for (const auto &each : m_groups)
        empty = empty && each.nodes.empty();
    if (empty) {
        out += "/>";
        return;
    }
    out += '>';
    if (m_hasText)
        appendXmlText(out, m_text);
    for (const auto &each : m_groups) {
        for (const auto &node : each.nodes)
            node->writeXml(out, false);
    }
    out += "</";
    out += m_name;
    out += '>';
}

void SubsonicNode::writeJson(std::string &out) const
{
    if (m_hasText && m_attributes.empty() && m_groups.empty()) {
        if (m_textIsNumber)
            out += m_text;
        else
            appendJsonString(out, m_text);
        return;
    }
    out += '{';
    bool first = true;
    const auto comma = [&] {
        if (!first)
            out += ',';
        first = false;
    };
    for (const auto &attribute : m_attributes) {
        comma();
        appendJsonString(out, attribute.key);
        out += ':';
        if (attribute.kind == Attribute::Kind::Text)
            appendJsonString(out, attribute.text);
        else
            out += attribute.text;
    }
    if (m_hasText) {
        comma();
        out += "\"value\":";
        if (m_textIsNumber)
            out += m_text;
        else
            appendJsonString(out, m_text);
    }
    for (const auto &each : m_groups) {
        comma();
        appendJsonString(out, each.name);
        out += ':';
        if (each.isList)
            out += '[';
        for (size_t i = 0; i < each.nodes.size(); ++i) {
            if (i > 0)
                out += ',';
            each.nodes[i]->writeJson(out);
            if (!each.isList)
                break; // a single child: only the first is kept
        }
        if (each.isList)
            out += ']';
    }
    out += '}';
}

} // namespace catalog
