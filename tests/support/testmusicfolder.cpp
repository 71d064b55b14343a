#include "testmusicfolder.h"

#include <QDir>
#include <QFile>

bool TestMusicFolder::use(const QString &configHome, const QString &musicFolder)
{
    if (!QDir().mkpath(configHome) || !QDir().mkpath(musicFolder))
        return false;
    QFile dirs(configHome + QLatin1String("/user-dirs.dirs"));
    if (!dirs.open(QIODevice::WriteOnly))
        return false;
    dirs.write("XDG_MUSIC_DIR=\"" + QFile::encodeName(musicFolder) + "\"\n");
    if (!dirs.flush())
        return false;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(configHome));
    return true;
}
