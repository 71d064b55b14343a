#pragma once

#include <QString>

// Where the window finds the user's music folder in tests: QStandardPaths reads the XDG user
// dirs file under $XDG_CONFIG_HOME, so a test names its own folder there.
class TestMusicFolder
{
public:
    // Makes both folders, writes configHome/user-dirs.dirs naming musicFolder and points
    // XDG_CONFIG_HOME at configHome for this process. False if a folder or the file failed.
    static bool use(const QString &configHome, const QString &musicFolder);
};
