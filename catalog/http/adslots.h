#pragma once

#include <optional>
#include <string>

namespace catalog {

// The five advertisement slots: a picture and a link text each. Items found in the ads
// folder (en1.png .. en5.png, en1.txt .. en5.txt) replace the built-in ones; the built-in
// texts link to this service's own pages. Read on the event loops; it keeps nothing but the
// folder's name, so any thread may ask. A slot outside 1 to 5 gives nothing; an item that
// cannot be read from the folder gives the built-in one.
class AdSlots
{
public:
    explicit AdSlots(std::string dir);

    static constexpr int slotCount = 5;

    std::optional<std::string> image(int slot) const;
    // baseUrl: "http://host:port" of this service.
    std::optional<std::string> text(int slot, const std::string &baseUrl) const;

private:
    std::optional<std::string> readFile(const std::string &name) const;

    const std::string m_dir;
};

} // namespace catalog
