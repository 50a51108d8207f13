// Writes the controller's udev rule to the file named on the command line.
#include <fstream>
#include <iostream>

#include "udev_rules.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: make_udev_rules OUTPUT\n";
    return 2;
  }
  std::ofstream out(argv[1], std::ios::binary);
  out << lumbra::packaging::UdevRules();
  return out.good() ? 0 : 1;
}
