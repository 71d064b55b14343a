#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace catalog {

// One element of an API answer, written as XML or as JSON the way the API's clients read
// them: attributes become members (numbers and booleans unquoted), a child added with item()
// joins a list (a JSON array, also when it holds one), a text becomes the element's text in
// XML and its "value" in JSON (or the whole item, when it has nothing else). Text that is not
// valid UTF-8, or holds characters XML cannot carry, is written with U+FFFD in their place,
// so every answer is well-formed. A tree owned by its root; children by their parent.
class SubsonicNode
{
public:
    explicit SubsonicNode(std::string name);
    ~SubsonicNode();
    SubsonicNode(const SubsonicNode &) = delete;
    SubsonicNode &operator=(const SubsonicNode &) = delete;

    SubsonicNode &set(std::string_view key, std::string_view text);
    SubsonicNode &set(std::string_view key, const char *text)
    {
        return set(key, std::string_view(text));
    }
    SubsonicNode &set(std::string_view key, int64_t number);
    SubsonicNode &set(std::string_view key, int number) { return set(key, int64_t(number)); }
    SubsonicNode &setFlag(std::string_view key, bool flag);
    SubsonicNode &setText(std::string_view text);
    SubsonicNode &setNumberText(int64_t number);

    // Attributes keep the order first set; setting one again replaces its value. A key is
    // not copied: it must outlive the node (the API's keys are literals).
    // A single child element, a JSON object.
    SubsonicNode &child(std::string name);
    // An element of the list name, a JSON array; list() alone makes the list empty.
    SubsonicNode &item(std::string name);
    void list(std::string name);

    // The whole answer: the XML document, or the JSON object, around this root.
    std::string xml() const;
    std::string json() const;

private:
    struct Attribute
    {
        std::string_view key;
        std::string text;
        enum class Kind { Text, Number, Flag } kind = Kind::Text;
    };
    struct Group
    {
        std::string name;
        bool isList = false;
        std::vector<std::unique_ptr<SubsonicNode>> nodes;
    };

    // Sets key, replacing an attribute of that name.
    SubsonicNode &put(std::string_view key, std::string text, int kind);
    Group &group(std::string name, bool isList);
    void writeXml(std::string &out, bool root) const;
    void writeJson(std::string &out) const;

    std::string m_name;
    std::vector<Attribute> m_attributes;
    std::vector<Group> m_groups;
    bool m_hasText = false;
    bool m_textIsNumber = false;
    std::string m_text;
};

} // namespace catalog
