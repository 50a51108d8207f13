// The station page's own files (page/www), embedded in the program when it
// is built, so that lumbra-cli serves its page without any file beside it.
#pragma once

#include <optional>
#include <string_view>

namespace lumbra::page {

struct Asset {
  std::string_view contentType;  // "text/html; charset=utf-8"
  std::string_view body;
};

// The file a request path names: "/" and "/index.html" the page itself,
// "/app.js" its script. Nullopt for anything else. `path` comes without
// the query.
std::optional<Asset> FindAsset(std::string_view path);

}  // namespace lumbra::page
