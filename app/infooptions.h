#pragma once

#include <cstdio>
#include <optional>

// The two options the client answers itself, the way GNU programs do: --help and --version
// print to the given stream and end the program with status 0 before anything else starts
// (no lock, no window, no display needed). Every other argument is left to Qt.
class InfoOptions
{
public:
    // The exit status when argv asks for help or the version (the answer is written to out),
    // nullopt when it does not.
    static std::optional<int> answer(int argc, const char *const *argv, std::FILE *out);

    static const char *helpText();
    static const char *versionText();
};
