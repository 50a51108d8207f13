// The table page/embed.cmake generates from page/www: one entry per file.
#pragma once

#include <cstddef>

namespace lumbra::page {

struct EmbeddedFile {
  const char* path;  // "/index.html"
  const unsigned char* bytes;
  std::size_t size;
};

extern const EmbeddedFile kEmbeddedFiles[];
extern const std::size_t kEmbeddedFileCount;

}  // namespace lumbra::page
