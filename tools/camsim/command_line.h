#pragma once

#include <span>
#include <string>
#include <string_view>

#include "tools/camsim/server.h"

namespace ipcam::camsim {

struct CommandLine {
  Options options;
  bool help = false;
  std::string error;  // empty when the arguments were understood
};

// Reads the program's arguments (without the program name). Both "--name value" and
// "--name=value" are accepted; numbers must be plain decimal and fit their field.
CommandLine parseCommandLine(std::span<const std::string_view> arguments);
std::string usageText();

}  // namespace ipcam::camsim
