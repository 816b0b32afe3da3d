// The control codes of the extra device, shared by the driver, the simulation and the Windows
// control tool. Device type FILE_DEVICE_UNKNOWN (0x22), functions 0xA00 and 0xA01, METHOD_BUFFERED,
// FILE_ANY_ACCESS; neither carries data.
#pragma once

#define IOCTL_VORIK_TESKMOUSE_TURN_ON 0x00222800u
#define IOCTL_VORIK_TESKMOUSE_TURN_OFF 0x00222804u

// The extra device's link, as user mode opens it: "\\.\SLN_MouseExtra" followed by the link's number
// (the first mouse gets 1).
#define HCT_EXTRA_LINK_BASE "SLN_MouseExtra"

#ifdef CTL_CODE
static_assert(IOCTL_VORIK_TESKMOUSE_TURN_ON == CTL_CODE(0x22, 0xA00, 0, 0), "TURN_ON layout");
static_assert(IOCTL_VORIK_TESKMOUSE_TURN_OFF == CTL_CODE(0x22, 0xA01, 0, 0), "TURN_OFF layout");
#endif
