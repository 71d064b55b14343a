#include "searchquery.h"

#include "searchterms.h"

namespace catalog {

SearchQuery::SearchQuery(std::string_view text)
    : m_words(SearchTerms::words(text))
{}

} // namespace catalog
