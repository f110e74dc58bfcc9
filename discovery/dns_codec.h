// Multicast DNS wire constants and codec.
#pragma once

#include <cstdint>

namespace mdns {
inline constexpr std::uint16_t kPort = 5353;
inline constexpr const char *kGroupIPv4 = "224.0.0.251";
inline constexpr const char *kServiceType = "_peerharbor._tcp.local.";
} // namespace mdns
