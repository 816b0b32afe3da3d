// The simulated neighbours of the filter driver on the host kernel layer: the USB bus driver below
// it, the HID class driver above it, the Plug and Play manager that builds and tears down each
// mouse's stack, and a user-mode application that talks to the extra device.
//
// Typical use:
//   hk::Reset();
//   PDRIVER_OBJECT filter = hk::LoadDriver(u"\\Driver\\hct", DriverEntry);
//   sim::PnpManager pnp(filter);
//   sim::Mouse &mouse = pnp.Plug();          // default 5-button mouse with wheel and AC pan
//   pnp.Start(mouse);                        // start, enumeration requests, 2 interrupt reads pending
//   sim::Application app;
//   app.Open(1); app.TurnOn();
//   mouse.Feed(sim::kReportPanRight);
//   sim::PnpManager::Settle();               // deliver at DISPATCH_LEVEL
//   mouse.Class().Reports().back().bytes;    // the report as the class driver got it
//   app.Close();
//   pnp.Remove(mouse);
//   hk::UnloadDriver(filter);
#pragma once

#include "application.h"
#include "config.h"
#include "default_mouse.h"
#include "hid_class.h"
#include "machine.h"
#include "usb_bus.h"

namespace sim {
// Rule name the simulated drivers report through hk::Violate when they receive something a real
// neighbour would reject.
inline constexpr const char *kRuleUnexpectedRequest = "SimBusUnexpectedRequest";
inline constexpr const char *kRuleClassUnexpected = "SimClassUnexpected";
}  // namespace sim
