// Writes the controller's udev rule, or fills the hardware it supports into
// the AppStream metainfo:
//   make_udev_rules OUTPUT
//   make_udev_rules --metainfo TEMPLATE OUTPUT
// The template's line holding @LUMBRA_MODALIASES@ becomes one <modalias>
// line for every accepted identifier pair.
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <string_view>

#include "udev_rules.h"

namespace {

constexpr std::string_view kModaliasMark = "@LUMBRA_MODALIASES@";

int WriteMetainfo(const char* templatePath, const char* outputPath) {
  std::ifstream in(templatePath, std::ios::binary);
  if (!in) {
    std::cerr << "make_udev_rules: cannot read " << templatePath << "\n";
    return 1;
  }
  std::ostringstream out;
  bool marked = false;
  for (std::string line; std::getline(in, line);) {
    if (line.find(kModaliasMark) != std::string::npos) {
      out << lumbra::packaging::AppStreamModaliases();
      marked = true;
    } else {
      out << line << '\n';
    }
  }
  if (!marked) {
    std::cerr << "make_udev_rules: " << templatePath << " has no " << kModaliasMark << " line\n";
    return 1;
  }
  std::ofstream file(outputPath, std::ios::binary);
  file << out.str();
  return file.good() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string_view(argv[1]) == "--metainfo") return WriteMetainfo(argv[2], argv[3]);
  if (argc != 2) {
    std::cerr << "usage: make_udev_rules OUTPUT\n"
                 "       make_udev_rules --metainfo TEMPLATE OUTPUT\n";
    return 2;
  }
  std::ofstream out(argv[1], std::ios::binary);
  out << lumbra::packaging::UdevRules();
  return out.good() ? 0 : 1;
}
