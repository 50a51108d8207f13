// Writes the stand-in firmware image (see standin.h) to the given file, after
// checking it against every image fact. Run through the
// lumbra_regenerate_standin target, which rewrites the committed file.
#include <cstdio>
#include <fstream>

#include "image_facts.h"
#include "standin.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: lumbra_make_standin OUTPUT\n");
    return 2;
  }
  const auto image = lumbra::firmware::MakeStandIn();
  const auto violations = lumbra::firmware::CheckImage(image);
  for (const auto& violation : violations) {
    std::fprintf(stderr, "stand-in breaks fact \"%s\": %s\n", violation.fact.c_str(),
                 violation.detail.c_str());
  }
  if (!violations.empty()) return 1;

  std::ofstream file(argv[1], std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
  file.close();
  if (!file) {
    std::fprintf(stderr, "%s: cannot write the stand-in image\n", argv[1]);
    return 2;
  }
  return 0;
}
