#include "network_service.h"

// Multicast DNS responder and browser.
void NetworkService::mdnsPublishLoop() {}
void NetworkService::mdnsBrowseLoop() {}
