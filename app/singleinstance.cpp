#include "singleinstance.h"

#include <QDir>
#include <QFile>
#include <QtGlobal>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

QString SingleInstance::lockFilePath()
{
    QString dir = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (dir.isEmpty() || !QDir(dir).exists())
        dir = QDir::tempPath();
    return dir + QLatin1String("/larkspin.lock");
}

SingleInstance::Result SingleInstance::acquire()
{
    const QByteArray path = QFile::encodeName(lockFilePath());
    fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return Unavailable;
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0)
        return Acquired;
    const bool held = errno == EWOULDBLOCK;
    ::close(fd);
    fd = -1;
    return held ? AlreadyRunning : Unavailable;
}

SingleInstance::~SingleInstance()
{
    if (fd >= 0)
        ::close(fd);
}
