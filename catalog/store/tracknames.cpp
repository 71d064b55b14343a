#include "tracknames.h"

#include "texthelpers.h"

namespace catalog {

void TrackNames::fillFromName(TrackRecord &track, const std::string &name)
{
    const size_t dash = name.find(" - ");
    std::string nameCreator, nameTitle = name;
    if (dash != std::string::npos) {
        nameCreator = TextHelpers::trimmed(name.substr(0, dash));
        nameTitle = TextHelpers::trimmed(name.substr(dash + 3));
    }
    if (track.title.empty())
        track.title = nameTitle.empty() ? name : nameTitle;
    if (track.creator.empty())
        track.creator = nameCreator;
}

} // namespace catalog
