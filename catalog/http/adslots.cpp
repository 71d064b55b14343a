#include "adslots.h"

#include "builtinads.h"

#include <fstream>
#include <sstream>

namespace catalog {

AdSlots::AdSlots(std::string dir)
    : m_dir(std::move(dir))
{}

std::optional<std::string> AdSlots::readFile(const std::string &name) const
{
    if (m_dir.empty())
        return std::nullopt;
    std::ifstream in(m_dir + "/" + name, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::optional<std::string> AdSlots::image(int slot) const
{
    if (slot < 1 || slot > slotCount)
        return std::nullopt;
    if (auto file = readFile("en" + std::to_string(slot) + ".png"))
        return file;
    return std::string(BuiltinAds::image(slot));
}

std::optional<std::string> AdSlots::text(int slot, const std::string &baseUrl) const
{
    if (slot < 1 || slot > slotCount)
        return std::nullopt;
    if (auto file = readFile("en" + std::to_string(slot) + ".txt"))
        return file;
    static const char *const pages[slotCount] = {"/", "/news/", "/", "/privacy/", "/contact/"};
    return baseUrl + pages[slot - 1];
}

} // namespace catalog
