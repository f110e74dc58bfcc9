#include "network_service.h"

// Outgoing requests to peers.
void NetworkService::resolveIdentity(RemoteDevice) {}
void NetworkService::pairDevice(const RemoteDevice &, const QString &)
{
    emit pairingFailed(QStringLiteral("Verbindung fehlgeschlagen."));
}
void NetworkService::sendMessage(const RemoteDevice &, const QString &) {}
void NetworkService::sendFile(const RemoteDevice &, const QString &) {}
