#include "emptyiconprovider.h"

#include <QIcon>

QIcon EmptyIconProvider::icon(IconType) const
{
    return QIcon();
}

QIcon EmptyIconProvider::icon(const QFileInfo &) const
{
    return QIcon();
}

QString EmptyIconProvider::type(const QFileInfo &) const
{
    return QString();
}
