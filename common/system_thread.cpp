#include "common/system_thread.h"

#include <stdexcept>

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#endif

namespace tallowfin {

namespace {

void RunBody(void* body) noexcept
{
    try {
        (*static_cast<std::function<void()>*>(body))();
    } catch (...) {
        // Dropped here: an exception leaving a thread's first frame ends the process.
    }
}

#ifdef _WIN32
DWORD WINAPI ThreadStart(void* body)
{
    RunBody(body);
    return 0;
}
#else
void* ThreadStart(void* body)
{
    RunBody(body);
    return nullptr;
}
#endif

}  // namespace

#ifdef _WIN32
struct SystemThread::Native {
    HANDLE handle = nullptr;
};
#else
struct SystemThread::Native {
    pthread_t thread{};
    bool joinable = false;
};
#endif

SystemThread::SystemThread(std::function<void()> body)
    : body_(std::make_unique<std::function<void()>>(std::move(body))), native_(std::make_unique<Native>())
{
#ifdef _WIN32
    native_->handle = CreateThread(nullptr, 0, ThreadStart, body_.get(), 0, nullptr);
    if (!native_->handle) throw std::runtime_error("The system made no thread");
#else
    if (pthread_create(&native_->thread, nullptr, ThreadStart, body_.get()) != 0)
        throw std::runtime_error("The system made no thread");
    native_->joinable = true;
#endif
}

SystemThread::~SystemThread() { Join(); }

void SystemThread::Join() noexcept
{
#ifdef _WIN32
    if (!native_->handle) return;
    WaitForSingleObject(native_->handle, INFINITE);
    CloseHandle(native_->handle);
    native_->handle = nullptr;
#else
    if (!native_->joinable) return;
    native_->joinable = false;
    pthread_join(native_->thread, nullptr);
#endif
}

}  // namespace tallowfin
