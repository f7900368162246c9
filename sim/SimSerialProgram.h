#pragma once
// skos-sim --serial-link: one serial Device Server's bootloader on a
// pseudo-terminal, until SIGINT or SIGTERM.

#include "sim/SimOptions.h"

namespace oskan::sim {

int RunSerialLinkProgram(const SimProgramOptions& options);

}  // namespace oskan::sim
