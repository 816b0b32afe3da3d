// The default simulated mouse: 5 buttons, X, Y, wheel and AC pan in a 5-byte input report without a
// report ID. Its layout: TotalSize 0x28, X 8 bits at 8, Y 8 at 0x10, wheel 8 at 0x18, AC pan 8 at 0x20.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace sim {

inline constexpr std::array<uint8_t, 63> kDefaultMouseDescriptor = {
    0x05, 0x01,        // Usage Page (Generic Desktop)
    0x09, 0x02,        // Usage (Mouse)
    0xA1, 0x01,        // Collection (Application)
    0x09, 0x01,        //   Usage (Pointer)
    0xA1, 0x00,        //   Collection (Physical)
    0x05, 0x09,        //     Usage Page (Button)
    0x19, 0x01,        //     Usage Minimum (1)
    0x29, 0x05,        //     Usage Maximum (5)
    0x15, 0x00,        //     Logical Minimum (0)
    0x25, 0x01,        //     Logical Maximum (1)
    0x95, 0x05,        //     Report Count (5)
    0x75, 0x01,        //     Report Size (1)
    0x81, 0x02,        //     Input (Data,Var,Abs): buttons 1-5
    0x95, 0x01,        //     Report Count (1)
    0x75, 0x03,        //     Report Size (3)
    0x81, 0x01,        //     Input (Const): padding
    0x05, 0x01,        //     Usage Page (Generic Desktop)
    0x09, 0x30,        //     Usage (X)
    0x09, 0x31,        //     Usage (Y)
    0x15, 0x81,        //     Logical Minimum (-127)
    0x25, 0x7F,        //     Logical Maximum (127)
    0x75, 0x08,        //     Report Size (8)
    0x95, 0x02,        //     Report Count (2)
    0x81, 0x06,        //     Input (Data,Var,Rel): X, Y
    0x09, 0x38,        //     Usage (Wheel)
    0x95, 0x01,        //     Report Count (1)
    0x81, 0x06,        //     Input (Data,Var,Rel): wheel
    0x05, 0x0C,        //     Usage Page (Consumer)
    0x0A, 0x38, 0x02,  //     Usage (AC Pan)
    0x81, 0x06,        //     Input (Data,Var,Rel): AC pan
    0xC0,              //   End Collection
    0xC0,              // End Collection
};

inline std::vector<uint8_t> DefaultMouseDescriptor()
{
    return {kDefaultMouseDescriptor.begin(), kDefaultMouseDescriptor.end()};
}

// Reports of the default mouse: buttons, X, Y, wheel, AC pan.
inline constexpr std::array<uint8_t, 5> kReportPanRight = {0x00, 0x03, 0xFE, 0x00, 0x01};  // pan +1
inline constexpr std::array<uint8_t, 5> kReportPanLeft = {0x00, 0x00, 0x00, 0x00, 0xFF};   // pan -1
inline constexpr std::array<uint8_t, 5> kReportPanRightFast = {0x01, 0x00, 0x00, 0x00, 0x7F};  // pan +127, button 1
inline constexpr std::array<uint8_t, 5> kReportNoPan = {0x01, 0x05, 0xFB, 0x01, 0x00};     // wheel +1, no pan
inline constexpr std::array<uint8_t, 5> kReportIdle = {0x00, 0x00, 0x00, 0x00, 0x00};

}  // namespace sim
