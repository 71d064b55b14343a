#include "serverconfig.h"
#include "singleinstance.h"
#include "startup.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char **argv)
{
    QString error;
    const std::optional<ServerConfig> servers = ServerConfig::fromEnvironment(&error);
    if (!servers) {
        std::fprintf(stderr, "%s\n", error.toLocal8Bit().constData());
        return 2;
    }
    // Before the application object: a second copy shows nothing at all.
    SingleInstance instance;
    if (instance.acquire() == SingleInstance::AlreadyRunning)
        return 0;

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Larkspin"));
    return runPlayer(*servers);
}
