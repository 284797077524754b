#pragma once
// A fresh directory under the system's temporary directory, removed with its contents at the
// end of the test; writeFile creates the parents of a file.
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace joulix::testing {

class TemporaryDirectory {
  public:
    TemporaryDirectory() {
        std::random_device random;
        path_ = std::filesystem::temp_directory_path() /
                ("joulix-test-" + std::to_string(random()) + std::to_string(random()));
        std::filesystem::create_directories(path_);
    }
    ~TemporaryDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string string() const { return path_.string(); }

    void writeFile(const std::string& relativePath, const std::string& contents) const {
        const auto file = path_ / relativePath;
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary | std::ios::trunc) << contents;
    }

  private:
    std::filesystem::path path_;
};

}  // namespace joulix::testing
