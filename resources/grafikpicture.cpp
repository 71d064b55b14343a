#include "grafikpicture.h"

#include <QFile>

// The pictures themselves are compiled by qt_add_resources into an object library that is
// linked into every target using larkspin_grafik, so their static registration cannot be
// dropped by the linker.

QString GrafikPicture::fileName(const QString &path, qreal ratio)
{
    if (ratio <= 1.0)
        return path;
    const qsizetype dot = path.lastIndexOf(QLatin1Char('.'));
    if (dot <= path.lastIndexOf(QLatin1Char('/')))
        return path;
    const QString doubled = path.left(dot) + QLatin1String("@2x") + path.mid(dot);
    return QFile::exists(doubled) ? doubled : path;
}

QPixmap GrafikPicture::pixmap(const QString &path, qreal ratio)
{
    return QPixmap(fileName(path, ratio));
}
