#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

// A process whose executable name holds a terminal escape shows in the tables of `processes`
// and `sample` with "?" in place of the control character.
TEST(ProcessNameControlCharacters, TablesShowThemAsQuestionMarks) {
    const fs::path folder = fs::temp_directory_path() / ("jlx-esc-" + std::to_string(getpid()));
    fs::create_directories(folder);
    const fs::path tool = folder / "\x1b[31mred";
    // A busy process (yes, its output thrown away), so that it ranks among sample's top rows.
    fs::copy_file("/usr/bin/yes", tool, fs::copy_options::overwrite_existing);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (!freopen("/dev/null", "w", stdout)) _exit(127);
        execl(tool.c_str(), "yes", static_cast<char*>(nullptr));
        _exit(127);
    }
    usleep(300'000);

    for (const char* command : {"processes --all", "sample --top 1000 --interval 0"}) {
        FILE* pipe = popen(
            (JOULIX_BINARY_DIR "/cli/joulix " + std::string(command) + " 2>/dev/null").c_str(),
            "r");
        std::string table;
        char buffer[4096];
        while (size_t n = fread(buffer, 1, sizeof buffer, pipe))
            table.append(buffer, n);
        pclose(pipe);
        EXPECT_EQ(table.find('\x1b'), std::string::npos) << command;
        EXPECT_NE(table.find("?[31mred"), std::string::npos) << command << "\n" << table;
    }
    kill(child, SIGTERM);
    waitpid(child, nullptr, 0);
    fs::remove_all(folder);
}

}  // namespace
