#include "productpages.h"

namespace catalog {

namespace {

std::string layout(const std::string &title, const std::string &body)
{
    return "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>" + title
           + " - Larkspin</title>\n<style>\n"
             "body{font-family:sans-serif;margin:0;color:#333;background:#fffaf3}\n"
             "header{background:linear-gradient(90deg,#f7b733,#fc4a1a);color:#fff;"
             "padding:18px 28px}\n"
             "header a{color:#fff;text-decoration:none;font-weight:bold;margin-right:18px}\n"
             "main{max-width:640px;padding:12px 28px}\nh1{color:#ea9d06}\n</style>\n"
             "</head>\n<body>\n<header><a href=\"/\">Larkspin</a><a href=\"/news/\">News</a>"
             "<a href=\"/tos/\">Terms Of Service</a><a href=\"/privacy/\">Privacy</a>"
             "<a href=\"/contact/\">Contact</a></header>\n<main>\n<h1>"
           + title + "</h1>\n" + body + "</main>\n</body>\n</html>\n";
}

} // namespace

std::optional<std::string> ProductPages::page(std::string_view path)
{
    if (path.size() > 1 && path.back() != '/') {
        std::string withSlash(path);
        withSlash += '/';
        return page(withSlash);
    }
    if (path == "/") {
        return layout("Larkspin",
                      "<p>Larkspin finds music, plays it while it arrives and keeps the songs you "
                      "like in your music folder.</p>\n"
                      "<p>This catalogue serves the MP3 files of the folders it was started "
                      "with. Type a few words into Larkspin's search field: every word must "
                      "match the start of a word in a title, artist, album or file name.</p>\n");
    }
    if (path == "/news/") {
        return layout("News",
                      "<p><b>Larkspin 1.3</b> comes with its own catalogue service. Point it at "
                      "your folders of MP3 files, or try the demo library.</p>\n"
                      "<p>Problems? Restart the catalogue with your folders, or send it the "
                      "hang-up signal to scan them again.</p>\n");
    }
    if (path == "/tos/") {
        return layout("Terms Of Service",
                      "<p>Use Larkspin for music you are allowed to play and keep. The catalogue "
                      "serves only the files of the folders you chose.</p>\n");
    }
    if (path == "/privacy/") {
        return layout("Privacy",
                      "<p>Larkspin has no accounts and keeps no record of you. The catalogue "
                      "writes one line per request to its own error output, and nowhere "
                      "else.</p>\n");
    }
    if (path == "/contact/") {
        return layout("Contact",
                      "<p>Questions and ideas are welcome at the Larkspin project's issue "
                      "tracker.</p>\n");
    }
    return std::nullopt;
}

} // namespace catalog
