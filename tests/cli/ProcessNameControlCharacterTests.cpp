#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

// A process whose executable name holds a terminal escape shows in the table with "?" in place
// of the control character.
TEST(ProcessNameControlCharacters, TableShowsThemAsQuestionMarks) {
    const fs::path folder = fs::temp_directory_path() / ("jlx-esc-" + std::to_string(getpid()));
    fs::create_directories(folder);
    const fs::path tool = folder / "\x1b[31mred";
    fs::copy_file("/bin/sleep", tool, fs::copy_options::overwrite_existing);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        execl(tool.c_str(), "sleeper", "30", static_cast<char*>(nullptr));
        _exit(127);
    }
    usleep(200'000);

    FILE* pipe = popen(JOULIX_BINARY_DIR "/cli/joulix processes --all", "r");
    std::string table;
    char buffer[4096];
    while (size_t n = fread(buffer, 1, sizeof buffer, pipe))
        table.append(buffer, n);
    pclose(pipe);
    kill(child, SIGTERM);
    waitpid(child, nullptr, 0);
    fs::remove_all(folder);

    EXPECT_EQ(table.find('\x1b'), std::string::npos);
    EXPECT_NE(table.find("?[31mred"), std::string::npos);
}

}  // namespace
