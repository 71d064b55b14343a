#include "musicfoldermodel.h"

#include <QAbstractFileIconProvider>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>

#include <sys/stat.h>

#include <algorithm>

namespace {

bool nameLess(const QString &a, const QString &b)
{
    const int c = QString::compare(a, b, Qt::CaseInsensitive);
    return c != 0 ? c < 0 : a < b;
}

} // namespace

MusicFolderModel::MusicFolderModel(QObject *parent)
    : QAbstractListModel(parent)
    , watcher(new QFileSystemWatcher(this))
{
    connect(watcher, &QFileSystemWatcher::directoryChanged, this, [this] {
        // A folder that went away is dropped from the watch, so refresh() polls for its return.
        if (!QFileInfo(folderPath).isDir()) {
            watcher->removePath(folderPath);
            seenExists = false;
            seenModified = 0;
        }
        rescan();
    });
}

void MusicFolderModel::setFolder(const QString &path)
{
    if (!folderPath.isEmpty())
        watcher->removePath(folderPath);
    beginResetModel();
    folderPath = path;
    folderBytes = QFile::encodeName(path);
    names.clear();
    seenExists = false;
    seenModified = 0;
    endResetModel();
    refresh();
}

void MusicFolderModel::refresh()
{
    // Notifications usually got here first; the folder's modification time catches what they
    // miss (network file systems, a watch that was lost). One stat(), no allocation.
    if (folderPath.isEmpty())
        return;
    struct stat info;
    const bool exists = ::stat(folderBytes.constData(), &info) == 0 && S_ISDIR(info.st_mode);
    const qint64 modified
        = exists ? qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec : 0;
    if (exists == seenExists && modified == seenModified)
        return;
    seenExists = exists;
    seenModified = modified;
    if (exists && !watcher->directories().contains(folderPath))
        watcher->addPath(folderPath);
    rescan();
}

QStringList MusicFolderModel::readFolder() const
{
    if (folderPath.isEmpty())
        return {};
    QStringList found
        = QDir(folderPath)
              .entryList({QStringLiteral("*.mp3")}, QDir::Files | QDir::Readable, QDir::Unsorted);
    std::sort(found.begin(), found.end(), nameLess);
    return found;
}

void MusicFolderModel::rescan()
{
    const QStringList now = readFolder();
    // Walk both sorted lists, removing and inserting single rows, so that persistent indexes
    // of the files that stay keep pointing at them.
    int row = 0;
    int i = 0;
    while (row < names.size() || i < now.size()) {
        if (i == now.size() || (row < names.size() && nameLess(names[row], now[i]))) {
            beginRemoveRows(QModelIndex(), row, row);
            names.removeAt(row);
            endRemoveRows();
        } else if (row == names.size() || nameLess(now[i], names[row])) {
            beginInsertRows(QModelIndex(), row, row);
            names.insert(row, now[i]);
            endInsertRows();
            ++row;
            ++i;
        } else {
            ++row;
            ++i;
        }
    }
}

QString MusicFolderModel::fileName(const QModelIndex &index) const
{
    return index.isValid() && index.row() < names.size() ? names[index.row()] : QString();
}

QString MusicFolderModel::filePath(const QModelIndex &index) const
{
    const QString name = fileName(index);
    return name.isEmpty() ? QString() : folderPath + QLatin1Char('/') + name;
}

int MusicFolderModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(names.size());
}

QVariant MusicFolderModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= names.size())
        return {};
    switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
        return names[index.row()];
    case Qt::DecorationRole:
        if (iconProvider)
            return iconProvider->icon(QFileInfo(filePath(index)));
        return {};
    default:
        return {};
    }
}

Qt::ItemFlags MusicFolderModel::flags(const QModelIndex &index) const
{
    // Read-only: a double-click only plays, it never starts renaming.
    return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren
                           : Qt::NoItemFlags;
}
