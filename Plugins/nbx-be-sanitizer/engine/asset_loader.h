// How the engine reads its data files ("assets"): a function from an asset name to the
// asset's content as a code-point text, empty when the asset is missing or unreadable.
//
// The engine never opens files itself. The plug-in hands in a loader backed by the host's
// asset resources; the command-line tool and the tests use the two small loaders below, one
// over a folder of files and one over an in-memory map. Both decode UTF-8 the same way
// (sdk::text::Utf8ToUtf32), so a file that is not UTF-8 reads as an empty asset.
#ifndef PLUGINS_NBX_BE_SANITIZER_ENGINE_ASSET_LOADER_H_
#define PLUGINS_NBX_BE_SANITIZER_ENGINE_ASSET_LOADER_H_

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <string_view>

namespace sanitizer {

// Asset name (such as "1.filter.csv") to content; empty when missing.
using AssetLoader = std::function<std::u32string(std::string_view name)>;

// Reads `folder`/`name` as UTF-8. A name that could leave the folder (it holds "/", "\" or
// NUL, or is "." or ".."), a missing or non-regular file, an unreadable file and bytes that
// are not UTF-8 all give an empty text. The folder is not checked here: a missing folder
// simply has no assets (callers that need to report it check it themselves).
AssetLoader MakeFolderAssetLoader(std::filesystem::path folder);

// Serves assets from a map of name to UTF-8 content; a name not in the map is missing.
// The map is copied into the loader.
AssetLoader MakeMapAssetLoader(std::map<std::string, std::string, std::less<>> assets);

}  // namespace sanitizer

#endif  // PLUGINS_NBX_BE_SANITIZER_ENGINE_ASSET_LOADER_H_
