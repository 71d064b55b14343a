#include "mprisplayeradaptor.h"

#include "mprisservice.h"

MprisPlayerAdaptor::MprisPlayerAdaptor(MprisService *service)
    : QDBusAbstractAdaptor(service)
    , service(service)
{
    connect(service, &MprisService::seeked, this, &MprisPlayerAdaptor::Seeked);
}

qlonglong MprisPlayerAdaptor::position() const
{
    return service->position();
}

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
    service->playPause();
}

void MprisPlayerAdaptor::Play()
{
    service->play();
}

void MprisPlayerAdaptor::Pause()
{
    service->pause();
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

void MprisPlayerAdaptor::Seek(qlonglong offset)
{
    service->seek(offset);
}

void MprisPlayerAdaptor::SetPosition(const QDBusObjectPath &trackId, qlonglong position)
{
    service->setPosition(trackId.path(), position);
}

void MprisPlayerAdaptor::OpenUri(const QString &) {}
