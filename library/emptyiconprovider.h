#pragma once

#include <QAbstractFileIconProvider>

// Lets the music folder list show bare file names: no icons and no type texts are computed.
class EmptyIconProvider : public QAbstractFileIconProvider
{
public:
    QIcon icon(IconType type) const override;
    QIcon icon(const QFileInfo &info) const override;
    QString type(const QFileInfo &info) const override;
};
