#include "page/assets.h"

#include <span>

#include "page/embedded.h"

namespace lumbra::page {
namespace {

// By the file's extension; a browser must not guess (nosniff).
std::string_view ContentType(std::string_view path) {
  static constexpr std::pair<std::string_view, std::string_view> kTypes[] = {
      {".html", "text/html; charset=utf-8"},
      {".css", "text/css; charset=utf-8"},
      {".js", "text/javascript; charset=utf-8"},
      {".json", "application/json"},
      {".svg", "image/svg+xml"},
      {".png", "image/png"},
      {".ico", "image/x-icon"},
      {".woff2", "font/woff2"},
  };
  for (const auto& [extension, type] : kTypes) {
    if (path.ends_with(extension)) return type;
  }
  return "application/octet-stream";
}

}  // namespace

std::optional<Asset> FindAsset(std::string_view path) {
  if (path == "/") path = "/index.html";
  for (const EmbeddedFile& file : std::span(kEmbeddedFiles, kEmbeddedFileCount)) {
    if (path == file.path) {
      return Asset{ContentType(path),
                   {reinterpret_cast<const char*>(file.bytes), file.size}};
    }
  }
  return std::nullopt;
}

}  // namespace lumbra::page
