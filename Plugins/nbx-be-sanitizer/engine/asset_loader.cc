// The folder and map asset loaders (asset_loader.h).
#include "Plugins/nbx-be-sanitizer/engine/asset_loader.h"

#include <fstream>
#include <iterator>
#include <system_error>
#include <utility>

#include "sdk/text/code_conversion.h"

namespace sanitizer {
namespace {

// Asset names are built from region and locale texts that come from outside; a name that
// could name a file outside the folder is treated as missing.
bool IsPlainFileName(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  return name.find_first_of(std::string_view("/\\\0", 3)) == std::string_view::npos;
}

}  // namespace

AssetLoader MakeFolderAssetLoader(std::filesystem::path folder) {
  return [folder = std::move(folder)](std::string_view name) -> std::u32string {
    if (!IsPlainFileName(name)) return {};
    const std::filesystem::path path = folder / std::filesystem::path(std::string(name));
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error) || error) return {};
    std::ifstream file(path, std::ios::binary);
    if (!file) return {};
    std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (file.bad()) return {};
    return sdk::text::Utf8ToUtf32(bytes);
  };
}

AssetLoader MakeMapAssetLoader(std::map<std::string, std::string, std::less<>> assets) {
  return [assets = std::move(assets)](std::string_view name) -> std::u32string {
    const auto it = assets.find(name);
    if (it == assets.end()) return {};
    return sdk::text::Utf8ToUtf32(it->second);
  };
}

}  // namespace sanitizer
