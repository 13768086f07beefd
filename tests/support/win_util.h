// Small helpers for Windows tests: message pumping with a deadline, scratch
// folders, whole-file reads and writes, environment settings, and threads.
#pragma once

#include <windows.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tallowfin::test {

// Dispatches the thread's messages until `done` holds or the time is up.
bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(20));
// Dispatches for a fixed time.
void PumpFor(std::chrono::milliseconds duration);

// Waits, without dispatching, until `done` holds or the time is up.
bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(20));

std::string ReadBytes(const std::filesystem::path& path);
// The lines of a text file without their line ends; none when it is missing.
std::vector<std::string> ReadLines(const std::filesystem::path& path);
void WriteBytes(const std::filesystem::path& path, const std::string& bytes);
// Deterministic content of a given size, different for different seeds.
std::string PatternBytes(std::size_t size, unsigned seed);

// A fresh folder under the system's temporary folder, removed with everything in it.
class ScratchDir {
public:
    explicit ScratchDir(const std::string& tag = "t");
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// Sets an environment variable for this process (both the system's block and
// the C runtime's copy) and restores the old value.
class ScopedEnv {
public:
    ScopedEnv(std::string name, const std::string& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::string old_;
    bool had_;
};

// A thread of the system's for a test, started at once and waited for by Join
// or the destructor, never longer than a bound: a test can neither hang on it
// nor be ended by a threads library that cannot join it. A thread still
// running at the destructor's bound is ended by force and reported on the
// error output, so that nothing it refers to on the test's stack is used
// after the test has moved on.
class TestThread {
public:
    explicit TestThread(std::function<void()> body);
    ~TestThread();
    TestThread(const TestThread&) = delete;
    TestThread& operator=(const TestThread&) = delete;
    // True once the thread has ended; false when it still runs after `limit`.
    bool Join(std::chrono::milliseconds limit = std::chrono::seconds(60));

private:
    std::unique_ptr<std::function<void()>> body_;
    HANDLE handle_ = nullptr;
};

// The system's temporary folder, with a trailing backslash, as GetTempPathA gives it.
std::string SystemTempDir();
// Files in the temporary folder whose names begin with "~wu".
std::vector<std::string> WorkerTempFiles();

}  // namespace tallowfin::test
