// Build step: refuses a firmware image file that breaks any fact of version
// 2.01, naming each broken fact, so the build stops before embedding it.
// Exit status: 0 accepted, 1 rejected, 2 unreadable file or bad usage.
#include <cstdio>

#include "image_facts.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: lumbra_check_image IMAGE\n");
    return 2;
  }
  const char* path = argv[1];
  const auto image = lumbra::firmware::ReadImageFile(path);
  if (!image) {
    std::fprintf(stderr, "%s: cannot read the firmware image\n", path);
    return 2;
  }
  const auto violations = lumbra::firmware::CheckImage(*image);
  for (const auto& violation : violations) {
    std::fprintf(stderr, "%s: fact \"%s\" does not hold: %s\n", path, violation.fact.c_str(),
                 violation.detail.c_str());
  }
  if (!violations.empty()) {
    std::fprintf(stderr, "%s: not a Quorvex firmware image of version 2.01; it will not be embedded\n", path);
    return 1;
  }
  return 0;
}
