// A fresh folder under the system's temporary folder, for the tests of every tree: removed with
// everything in it when the object goes away. Its name begins with the prefix, which may be any
// text the file system takes (the store's Windows tests give a Korean one, with a space). Only its
// owner may enter it, as mkdtemp would have it: the store refuses a folder that others may write.
#pragma once

#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>

namespace qmtest {

class TempDir {
public:
    explicit TempDir(const std::filesystem::path& prefix = "qm-test") {
        namespace fs = std::filesystem;
        std::random_device random;
        for (int attempt = 0; attempt < 100; ++attempt) {
            fs::path candidate = fs::temp_directory_path() / prefix;
            candidate += "-" + std::to_string(random());
            std::error_code ec;
            if (fs::create_directory(candidate, ec)) {
#ifndef _WIN32
                fs::permissions(candidate, fs::perms::owner_all, fs::perm_options::replace);
#endif
                path_ = candidate;
                return;
            }
        }
        throw std::runtime_error("cannot make a temporary folder");
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }

    const std::filesystem::path& path() const {
        return path_;
    }
    std::filesystem::path operator/(const std::filesystem::path& name) const {
        return path_ / name;
    }

private:
    std::filesystem::path path_;
};

} // namespace qmtest
