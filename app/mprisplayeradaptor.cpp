#include "mprisplayeradaptor.h"

#include "mprisservice.h"

MprisPlayerAdaptor::MprisPlayerAdaptor(MprisService *service)
    : QDBusAbstractAdaptor(service)
    , service(service)
{}

QString MprisPlayerAdaptor::playbackStatus() const
{
    return service->playbackStatus();
}

QVariantMap MprisPlayerAdaptor::metadata() const
{
    return service->metadata();
}

double MprisPlayerAdaptor::volume() const
{
    return service->volume();
}

void MprisPlayerAdaptor::setVolume(double volume)
{
    service->setVolume(volume);
}

void MprisPlayerAdaptor::PlayPause()
{
    // The play button is the player's only toggle: it starts the music folder or stops.
    service->playPause();
}

void MprisPlayerAdaptor::Play()
{
    service->play();
}

void MprisPlayerAdaptor::Pause()
{
    // No pause: CanPause is false, and a stop would lose the place no less than a pause would
    // keep it, so this does nothing.
}

void MprisPlayerAdaptor::Stop()
{
    service->stop();
}

void MprisPlayerAdaptor::Next()
{
    service->next();
}

void MprisPlayerAdaptor::Previous()
{
    service->previous();
}

void MprisPlayerAdaptor::Seek(qlonglong) {}

void MprisPlayerAdaptor::SetPosition(const QDBusObjectPath &, qlonglong) {}

void MprisPlayerAdaptor::OpenUri(const QString &) {}
