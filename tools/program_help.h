// program_help.h -- --help and --version, answered alike by every command-line program here:
// the usage, or the program's name and version, on standard output, and exit 0.
#pragma once

#include <optional>
#include <ostream>
#include <iostream>
#include <string_view>

#include "lv_version.h"

namespace tools {

// The exit code when `argument` asks for the usage (--help, -h) or the version, after
// answering it; nothing for any other argument.
inline std::optional<int> answerHelpOrVersion(std::string_view argument, std::string_view program,
                                              void (*printUsage)(std::ostream&)) {
  if (argument == "--help" || argument == "-h") {
    printUsage(std::cout);
    return 0;
  }
  if (argument == "--version") {
    std::cout << program << " " LV_VERSION "\n";
    return 0;
  }
  return std::nullopt;
}

}  // namespace tools
