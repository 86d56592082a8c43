#include <iostream>

#include "cli/cli.h"

int main(int argc, char** argv) {
  strellbox::InstallInterruptHandler();
  return strellbox::RunCli(argc, argv, std::cout, std::cerr);
}
