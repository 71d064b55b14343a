#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace catalog {

// The product's small web pages: "/", "/news/", "/tos/", "/privacy/" and "/contact/". Pure,
// safe on any thread.
class ProductPages
{
public:
    // The HTML page for path (with or without its trailing slash), or nothing.
    static std::optional<std::string> page(std::string_view path);
};

} // namespace catalog
