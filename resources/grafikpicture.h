#pragma once

#include <QPixmap>
#include <QString>

// Pictures of the collection for widgets that take a pixmap or a file name rather than an
// icon: labels and movies. Buttons and style sheets load through QIcon, which picks the
// "@2x" drawing on its own; this makes the same choice for these.
class GrafikPicture
{
public:
    // The file to read at path (":/grafik/name.ext") for a screen of the given device pixel
    // ratio: "name@2x.ext" when the ratio is above 1 and that drawing exists, else path.
    // Qt's image reader gives what it reads from an "@2x" file a device pixel ratio of 2, so
    // it covers the same area as the plain picture.
    static QString fileName(const QString &path, qreal ratio);

    // The picture read from fileName(path, ratio); a null pixmap when there is none.
    static QPixmap pixmap(const QString &path, qreal ratio);
};
