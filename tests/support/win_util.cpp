#include "tests/support/win_util.h"

#include "common/handle.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

namespace tallowfin::test {

namespace fs = std::filesystem;

bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
}

void PumpFor(std::chrono::milliseconds duration)
{
    PumpUntil([] { return false; }, duration);
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

std::string ReadBytes(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> ReadLines(const fs::path& path)
{
    std::vector<std::string> lines;
    if (!fs::exists(path)) return lines;
    std::istringstream in(ReadBytes(path));
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

void WriteBytes(const fs::path& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string PatternBytes(std::size_t size, unsigned seed)
{
    std::string bytes(size, '\0');
    std::mt19937 random(seed);
    for (auto& b : bytes) b = static_cast<char>(random() & 0xFF);
    return bytes;
}

ScratchDir::ScratchDir(const std::string& tag)
{
    static unsigned counter = 0;
    fs::path base = fs::temp_directory_path();
    for (;;) {
        path_ = base / ("tf-" + tag + "-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter));
        if (fs::create_directories(path_)) break;
    }
}

ScratchDir::~ScratchDir()
{
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

ScopedEnv::ScopedEnv(std::string name, const std::string& value) : name_(std::move(name))
{
    char buffer[32768];
    DWORD n = GetEnvironmentVariableA(name_.c_str(), buffer, sizeof buffer);
    had_ = n > 0 && n < sizeof buffer;
    if (had_) old_.assign(buffer, n);
    SetEnvironmentVariableA(name_.c_str(), value.c_str());
    _putenv_s(name_.c_str(), value.c_str());
}

ScopedEnv::~ScopedEnv()
{
    SetEnvironmentVariableA(name_.c_str(), had_ ? old_.c_str() : nullptr);
    _putenv_s(name_.c_str(), had_ ? old_.c_str() : "");
}

std::string SystemTempDir()
{
    char buffer[MAX_PATH + 1] = {};
    GetTempPathA(sizeof buffer, buffer);
    return buffer;
}

std::vector<std::string> WorkerTempFiles()
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA data;
    FindHandle find(FindFirstFileA((SystemTempDir() + "~wu*").c_str(), &data));
    if (!find) return names;
    do names.push_back(SystemTempDir() + data.cFileName);
    while (FindNextFileA(find.get(), &data));
    return names;
}

namespace {

DWORD WINAPI RunTestThread(void* parameter)
{
    try {
        (*static_cast<std::function<void()>*>(parameter))();
    } catch (...) {
        // An error of a helper thread ends that thread, not the test program.
    }
    return 0;
}

}  // namespace

TestThread::TestThread(std::function<void()> body) : body_(std::make_unique<std::function<void()>>(std::move(body)))
{
    handle_ = CreateThread(nullptr, 0, RunTestThread, body_.get(), 0, nullptr);
    if (!handle_) throw std::runtime_error("a test thread could not be started");
}

TestThread::~TestThread()
{
    if (!Join()) {
        std::fprintf(stderr, "a test thread did not end in time and was ended by force\n");
        TerminateThread(handle_, 1);
        WaitForSingleObject(handle_, 5000);
    }
    CloseHandle(handle_);
}

bool TestThread::Join(std::chrono::milliseconds limit)
{
    return WaitForSingleObject(handle_, static_cast<DWORD>(limit.count())) == WAIT_OBJECT_0;
}

}  // namespace tallowfin::test
