#include "mprisrootadaptor.h"

#include "mprisservice.h"

MprisRootAdaptor::MprisRootAdaptor(MprisService *service)
    : QDBusAbstractAdaptor(service)
    , service(service)
{}

QString MprisRootAdaptor::identity() const
{
    return QStringLiteral("Larkspin");
}

QString MprisRootAdaptor::desktopEntry() const
{
    // The installed larkspin.desktop, without its suffix.
    return QStringLiteral("larkspin");
}

void MprisRootAdaptor::Raise()
{
    service->raise();
}

void MprisRootAdaptor::Quit()
{
    service->quit();
}
