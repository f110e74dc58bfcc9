#include "network_service.h"

// Authenticated routes. Until peers can be authorised, every request is
// refused, which is what an empty pairing registry means anyway.
void NetworkService::handleMessageRoute(const sock::Socket &socket, const QByteArray &, const QByteArray &)
{
    sendJsonResponse(socket, QByteArrayLiteral("{\"error\":\"unauthorized\"}"));
}

void NetworkService::handleUploadRoute(const sock::Socket &socket, const QByteArray &, const QByteArray &)
{
    sendJsonResponse(socket, QByteArrayLiteral("{\"error\":\"unauthorized\"}"));
}
