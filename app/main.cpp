#include "infooptions.h"
#include "quitonsignals.h"
#include "serverconfig.h"
#include "singleinstance.h"
#include "startup.h"

#include <QApplication>
#include <QFont>

#include <cstdio>

int main(int argc, char **argv)
{
    // Answered even while another copy runs, and without a display.
    if (const std::optional<int> status = InfoOptions::answer(argc, argv, stdout))
        return *status;
    // Before anything else: a second copy ends silently, whatever else is wrong.
    SingleInstance instance;
    if (instance.acquire() == SingleInstance::AlreadyRunning)
        return 0;
    QString error;
    const std::optional<ServerConfig> servers = ServerConfig::fromEnvironment(&error);
    if (!servers) {
        std::fprintf(stderr, "%s\n", error.toLocal8Bit().constData());
        return 2;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Larkspin"));
    // Every widget has a fixed pixel size made for small type; desktop defaults of 10 or 11
    // points would clip the news line and the row labels.
    QFont font = QApplication::font();
    font.setPointSize(8);
    QApplication::setFont(font);
    const QuitOnSignals quitOnSignals;
    return runPlayer(*servers);
}
