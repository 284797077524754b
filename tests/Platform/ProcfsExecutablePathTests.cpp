#include "Platform/ProcessTable.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <unistd.h>

namespace joulix {
namespace {

namespace fs = std::filesystem;

// An executable path must fit 1024 bytes with its terminating NUL: 1023 bytes are read, 1024
// count as unreadable.
TEST(ProcfsExecutablePathTests, PathsOfAThousandTwentyFourBytesOrMoreAreUnreadable) {
    std::string pattern = (fs::temp_directory_path() / "jlx-exe-XXXXXX").string();
    const fs::path proc = ::mkdtemp(pattern.data());
    const std::string fits = "/" + std::string(1022, 'a');
    const std::string tooLong = "/" + std::string(1023, 'b');
    fs::create_directories(proc / "1");
    fs::create_directories(proc / "2");
    fs::create_symlink(fits, proc / "1/exe");
    fs::create_symlink(tooLong, proc / "2/exe");

    const auto table = makeProcfsProcessTable(proc.string());
    EXPECT_EQ(table->executablePath(1), fits);
    EXPECT_EQ(table->executablePath(2), std::nullopt);
    fs::remove_all(proc);
}

}  // namespace
}  // namespace joulix
