#pragma once

#include <QAbstractListModel>
#include <QStringList>

class QAbstractFileIconProvider;
class QFileSystemWatcher;

// The MP3 files of one folder as a flat list: readable files named *.mp3 in any letter case,
// no folders, no hidden files, sorted by name ignoring case.
//
// The list follows the folder through file-system notifications, and refresh() looks again
// whenever the folder's modification time changed (what notifications miss on network file
// systems), at the price of one stat(), so a caller may call it often. Rows are inserted and
// removed one by one as files come and go, so persistent indexes (the view's current item and
// selection) stay on their files.
class MusicFolderModel : public QAbstractListModel
{
    Q_OBJECT

public:
    explicit MusicFolderModel(QObject *parent = nullptr);

    // Lists path; an empty or missing folder gives an empty list until it appears.
    void setFolder(const QString &path);
    QString folder() const { return folderPath; }
    // The provider's icons decorate the rows; not owned.
    void setIconProvider(QAbstractFileIconProvider *provider) { iconProvider = provider; }

    void refresh();
    QString fileName(const QModelIndex &index) const;
    QString filePath(const QModelIndex &index) const;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

private:
    void rescan();
    QStringList readFolder() const;

    QString folderPath;
    QByteArray folderBytes;
    QStringList names;
    qint64 seenModified = 0;
    bool seenExists = false;
    QFileSystemWatcher *watcher;
    QAbstractFileIconProvider *iconProvider = nullptr;
};
