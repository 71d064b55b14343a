#pragma once

#include <string_view>

namespace catalog {

// The five advertisement pictures compiled into the program (catalog/http/ads/en1.png to
// en5.png, drawn by catalog/http/ads/make-ads.sh). Constant data, safe on any thread.
class BuiltinAds
{
public:
    // PNG bytes of slot 1 to 5; empty for any other slot.
    static std::string_view image(int slot);
};

} // namespace catalog
