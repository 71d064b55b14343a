#include "infooptions.h"

#include <cstring>

std::optional<int> InfoOptions::answer(int argc, const char *const *argv, std::FILE *out)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0)
            break;
        const char *text = nullptr;
        if (std::strcmp(argv[i], "--help") == 0)
            text = helpText();
        else if (std::strcmp(argv[i], "--version") == 0)
            text = versionText();
        if (text) {
            std::fputs(text, out);
            return std::fflush(out) == 0 ? 0 : 1;
        }
    }
    return std::nullopt;
}

const char *InfoOptions::helpText()
{
    return "Usage: larkspin [QT-OPTION]...\n"
           "Find, play and save music from the web.\n"
           "\n"
           "      --help     display this help and exit\n"
           "      --version  output version information and exit\n"
           "Other options are Qt's (for example -platform, -style); see the Qt documentation.\n"
           "\n"
           "Environment:\n"
           "  LARKSPIN_SEARCH_URL  base URL of the search service (http://localhost:8642)\n"
           "  LARKSPIN_ADS_URL     base URL of the advertisement server (same default)\n"
           "  LARKSPIN_WEB_URL     base URL of the product pages (same default)\n"
           "\n"
           "Only one copy runs at a time; starting another does nothing. While the window is\n"
           "open, desktop media keys reach it over D-Bus (org.mpris.MediaPlayer2.larkspin).\n"
           "Exit status: 0 normally, 2 when a server URL is not a base URL.\n";
}

const char *InfoOptions::versionText()
{
    return "larkspin (Larkspin) " LARKSPIN_VERSION "\n";
}
