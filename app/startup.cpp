#include "startup.h"

#include "brisaplayer.h"
#include "mprisservice.h"
#include "serverconfig.h"

#include <QApplication>
#include <QMessageBox>

const char *noticeText()
{
    return "Larkspin has no responsibility for content on other web sites that you may find or "
           "access when using the Larkspin player products or services. It is your "
           "responsibility to ascertain whether any copyright, patent or other licenses are "
           "necessary and to obtain any such licenses to serve and/or create, compress or "
           "download such media and content. You agree to record, play back and download only "
           "those materials for which you have the necessary patent, copyright and other "
           "permissions, licenses, and/or clearances. For further details see our Enduser "
           "License Agreement.\n\n\nBy clicking on the \"Yes\" button and using the software, "
           "you declare that you have read and understood this warning. If you do not accept "
           "or understand this warning click on the \"No\" button and do not use this software.";
}

int runPlayer(const ServerConfig &servers)
{
    auto *window = new BrisaPlayer(servers);
    const QMessageBox::StandardButton answer = QMessageBox::information(
        window, QStringLiteral("Larkspin"), QCoreApplication::translate("Larkspin", noticeText()),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer != QMessageBox::Yes) {
        delete window;
        return 0;
    }
    // Only now: the notice itself is drawn in the platform's own style.
    QApplication::setStyle(QStringLiteral("Fusion"));
    // No session bus, or none that answers: the window runs without media keys.
    new MprisService(window, QDBusConnection::sessionBus(), window);
    window->show();
    QObject::connect(qApp, &QGuiApplication::lastWindowClosed, qApp, &QCoreApplication::quit);
    const int result = QApplication::exec();
    delete window;
    return result;
}
