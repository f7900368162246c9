#pragma once
// The device commands of the Device Explorer's actions, as an SkOS device
// answers them:
//   "B"          buzz: "A"
//   "EC"         reboot: "A", then the device is silent until it has booted
//   "H" + MAC    change the MAC: "A", and the new MAC applies from the next
//                boot; "E" when the text is not six numbers of 0 to 255
// Anything else that merely begins with these letters gets the device's
// reply to an unknown command.

#include "sim/SimDevice.h"

namespace oskan::sim {

void AddDeviceCommands(SimHandlers& handlers);

}  // namespace oskan::sim
