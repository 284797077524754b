// Every test program keeps the shared area (the shared log, the shared history) in a temporary
// folder of its own, which its child processes inherit through JLX_SHARED_ROOT, so that no test
// writes to the machine's. A test program started by another one uses the folder it inherits.
#include "SharedModels/SharedRoot.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

int main(int argc, char** argv) {
    const char* inherited = std::getenv("JLX_SHARED_ROOT");
    const bool ownsRoot = !inherited || inherited[0] != '/';
    std::string root = ownsRoot
                           ? (std::filesystem::temp_directory_path() / "jlx-shared-XXXXXX").string()
                           : std::string(inherited);
    if (ownsRoot && ::mkdtemp(root.data()) == nullptr) return 1;
    ::setenv("JLX_SHARED_ROOT", root.c_str(), 1);
    joulix::setSharedRoot(root);
    testing::InitGoogleTest(&argc, argv);
    const int status = RUN_ALL_TESTS();
    if (ownsRoot) {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
    return status;
}
