// The demo PKI that `ledra-tool demo` puts into a store.
#pragma once

#include <filesystem>
#include <iosfwd>

namespace ledra::demo {

// The password of every demo user's private key.
inline constexpr const char* kPassword = "demo1234";
// The folder below the store root that holds the demo's public files and the server's key.
inline constexpr const char* kFolder = "demo";

// Builds the demo in the store at `root` (which must exist). Refuses when a demo is already there
// unless `force`, which first takes the earlier demo's entries and files away. Reports to `out`.
// Throws pki::Error or std::system_error.
void Make(const std::filesystem::path& root, bool force, std::ostream& out);

} // namespace ledra::demo
