#include "filenamecheck.h"

#include "fuzzcheck.h"

#include "song.h"

#include <QFile>
#include <QString>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Made once; plain bytes, so that it is still there for the exit handler that removes it.
char folderPath[] = "/tmp/larkspin-fuzz-names-XXXXXX";

QString folder()
{
    static const bool made = [] {
        FUZZ_CHECK(::mkdtemp(folderPath));
        std::atexit([] { ::rmdir(folderPath); });
        return true;
    }();
    (void)made;
    return QFile::decodeName(folderPath);
}

void checkCleaned(const QString &raw)
{
    const QString cleaned = Song::cleanFileName(raw);
    for (const QChar c : QStringView(u"\\/?!*:\"'|"))
        FUZZ_CHECK(!cleaned.contains(c));
    FUZZ_CHECK(cleaned.size() <= raw.size());
    FUZZ_CHECK(Song::cleanFileName(cleaned) == cleaned);
}

// A name that is given out must be one file right inside the music folder.
void checkSaved(const QString &creator, const QString &title)
{
    const QString name = Song::musicFileName(creator, title);
    QString expected;
    if (!creator.isEmpty())
        expected = Song::cleanFileName(creator) + QLatin1String(" - ");
    expected += Song::cleanFileName(title) + QLatin1String(".mp3");
    if (name.isEmpty()) {
        FUZZ_CHECK(expected.contains(QChar(0)) || QFile::encodeName(expected).size() > 255);
        return;
    }
    FUZZ_CHECK(name == expected);
    const QByteArray bytes = QFile::encodeName(name);
    FUZZ_CHECK(!bytes.isEmpty() && bytes.size() <= 255);
    FUZZ_CHECK(!bytes.contains('/') && !bytes.contains('\0'));
    FUZZ_CHECK(bytes != "." && bytes != "..");

    const QByteArray path = QFile::encodeName(folder() + QLatin1Char('/') + name);
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        std::fprintf(stderr, "cannot create %s: %s\n", path.constData(), std::strerror(errno));
    FUZZ_CHECK(fd >= 0);
    ::close(fd);
    FUZZ_CHECK(::unlink(path.constData()) == 0);
}

} // namespace

void FileNameCheck::run(const uint8_t *data, size_t size)
{
    const auto *bytes = reinterpret_cast<const char *>(data);
    QString text;
    if (size > 0 && data[0] == 0xFE) {
        QString utf16;
        for (size_t i = 1; i + 1 < size; i += 2)
            utf16 += QChar(char16_t(data[i] | (data[i + 1] << 8)));
        text = utf16;
    } else {
        text = QString::fromUtf8(bytes, qsizetype(size));
    }
    const qsizetype split = text.indexOf(QLatin1Char('\n'));
    const QString creator = split < 0 ? QString() : text.left(split);
    const QString title = split < 0 ? text : text.mid(split + 1);
    checkCleaned(creator);
    checkCleaned(title);
    checkSaved(creator, title);
}
