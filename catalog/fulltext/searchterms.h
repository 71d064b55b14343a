#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace catalog {

// The words the search index knows a text by: lower case, accents removed (letters without
// an accent-free form, such as Ł or Ø, stay as they are), split at every character that is
// neither a letter, a digit nor a mark. The tracks' fields and the user's queries go through
// the same function, so they always agree. A pure function, safe on any thread; a text ICU
// cannot normalise gives no words.
class SearchTerms
{
public:
    // text must be valid UTF-8. Words longer than the index can hold are dropped.
    static std::vector<std::string> words(std::string_view text);
};

} // namespace catalog
