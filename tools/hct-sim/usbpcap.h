// USBPcap's record layout (link type 249), as the capture reader parses it and the capture writer
// writes it: a little-endian packet header, for control transfers one more byte naming the stage,
// then the data.
#pragma once

#include <cstddef>
#include <cstdint>

namespace hct_sim::usbpcap {

inline constexpr int kLinkType = 249;

// Offsets in the packet header.
inline constexpr size_t kHeaderLength = 0;  // 2 bytes: the whole header's length, the stage byte included
inline constexpr size_t kIrpId = 2;         // 8
inline constexpr size_t kStatus = 10;       // 4: the URB's USBD status
inline constexpr size_t kFunction = 14;     // 2: the URB function
inline constexpr size_t kInfo = 16;         // 1: bit 0 set on the way back up (PDO to FDO)
inline constexpr size_t kBus = 17;          // 2
inline constexpr size_t kDevice = 19;       // 2
inline constexpr size_t kEndpoint = 21;     // 1: bit 7 set for IN
inline constexpr size_t kTransfer = 22;     // 1
inline constexpr size_t kDataLength = 23;   // 4
inline constexpr size_t kStage = 27;        // 1, control transfers only

// Header lengths: every record, and control transfers with their stage byte.
inline constexpr size_t kHeader = 27;
inline constexpr size_t kControlHeader = 28;

inline constexpr uint8_t kInfoCompletion = 1;

inline constexpr uint8_t kTransferIsochronous = 0;
inline constexpr uint8_t kTransferInterrupt = 1;
inline constexpr uint8_t kTransferControl = 2;
inline constexpr uint8_t kTransferBulk = 3;
inline constexpr uint8_t kTransferUnknown = 0xFF;  // a URB that is no transfer (ABORT_PIPE, ...)

inline constexpr uint8_t kStageSetup = 0;
inline constexpr uint8_t kStageData = 1;
inline constexpr uint8_t kStageStatus = 2;
inline constexpr uint8_t kStageComplete = 3;  // SELECT_CONFIGURATION and the like coming back

}  // namespace hct_sim::usbpcap
