#include "readcounter.h"

#include <QByteArray>
#include <QFile>
#include <QString>

namespace {

qint64 readChars(const QString &path)
{
    QFile io(path);
    if (!io.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : io.readAll().split('\n')) {
        if (line.startsWith("rchar:"))
            return line.mid(6).trimmed().toLongLong();
    }
    return -1;
}

} // namespace

qint64 ReadCounter::process()
{
    return readChars(QStringLiteral("/proc/self/io"));
}

qint64 ReadCounter::thisThread()
{
    return readChars(QStringLiteral("/proc/thread-self/io"));
}
