#include <iostream>

#include "cli/cli.h"
#include "engine/stderr_filter.h"

int main(int argc, char** argv) {
  strellbox::DropDecoderNoiseFromStderr();
  strellbox::InstallInterruptHandler();
  return strellbox::RunCli(argc, argv, std::cout, std::cerr);
}
