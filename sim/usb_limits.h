// What the USB stack moves in one transfer, whatever a device's descriptors declare. Plain
// constants, so that the tool's output can name them without the simulation's headers.
#pragma once

#include <cstdint>

namespace sim {

// The most one interrupt transfer carries, at every speed: the system's USB stack refuses longer
// interrupt transfers (4 MB; a full-speed endpoint moves it as transactions of at most its
// wMaxPacketSize, a low-speed one of at most 8 bytes). The class driver sizes its reads for the
// largest input report the descriptor declares, and never longer than this.
inline constexpr uint32_t kMaxInterruptTransfer = uint32_t(4) << 20;

}  // namespace sim
