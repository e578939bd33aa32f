// The pages' files, built into the program from server/web/assets.
#pragma once

#include <string_view>
#include <vector>

namespace tavoren::web {

struct Asset {
  std::string_view name;  // "fleet.html", "app.css", ...
  std::string_view body;
};

// Every asset, in name order.
const std::vector<Asset>& assets();

}  // namespace tavoren::web
