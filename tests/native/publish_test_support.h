// Shared by the tests of tallowfin-publish: a private folder per test, files
// written into it, and the tool run through its command line.
#pragma once

#include "publish/command.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace tallowfin::publish::test {

namespace fs = std::filesystem;

// Test programs run in parallel, so every test gets a folder of its own.
class TempFolder {
public:
    TempFolder()
    {
        std::random_device random;
        path_ = fs::temp_directory_path() / ("tallowfin-publish-" + std::to_string(random()) + std::to_string(random()));
        fs::create_directories(path_);
    }
    ~TempFolder()
    {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const fs::path& Path() const { return path_; }
    fs::path operator/(const std::string& utf8) const { return path_ / fs::path(std::u8string(utf8.begin(), utf8.end())); }

private:
    fs::path path_;
};

inline std::string Utf8(const fs::path& path)
{
    const auto text = path.u8string();
    return std::string(text.begin(), text.end());
}

inline void WriteFile(const fs::path& path, const std::string& content)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

inline std::string ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

inline ToolRun RunTool(const std::vector<std::string>& arguments)
{
    std::ostringstream out, err;
    ToolRun run;
    run.status = RunPublishCommand(arguments, out, err);
    run.out = out.str();
    run.err = err.str();
    return run;
}

inline std::size_t CountLines(const std::string& text)
{
    std::size_t lines = 0;
    for (const char c : text) lines += c == '\n';
    return lines;
}

}  // namespace tallowfin::publish::test
