// Ethernet figures and the station address type, for the host side: the
// emulated hardware, the host platform, the tools and their tests. (The
// driver has its own in driver/adapter.h: it includes nothing beyond
// platform/.)
#ifndef HW_ETHERNET_H
#define HW_ETHERNET_H

#include <array>
#include <cstddef>
#include <cstdint>

namespace hw {

using MacAddress = std::array<std::uint8_t, 6>;

constexpr std::size_t kAddressBytes = 6;
constexpr std::size_t kHeaderBytes = 14;   // destination, source, type or length
constexpr std::size_t kMinFrame = 60;      // bytes, without FCS
constexpr std::size_t kMaxFrame = 1514;    // bytes, without FCS
constexpr std::size_t kFcsBytes = 4;

constexpr MacAddress kBroadcastAddress{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

}  // namespace hw

#endif  // HW_ETHERNET_H
