#include "download/thread.h"

#include <memory>

#include "common/win_error.h"

namespace tallowfin {

namespace {

// Names the thread for the debugger where the system can; older systems lack it.
void NameThread(HANDLE thread, const wchar_t* name)
{
    using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    if (HMODULE kernel = GetModuleHandleA("kernel32.dll")) {
        if (auto set = reinterpret_cast<SetDescription>(
                reinterpret_cast<void*>(GetProcAddress(kernel, "SetThreadDescription"))))
            set(thread, name);
    }
}

}  // namespace

TThread::TThread(MainThreadDoor& door) : door_(door)
{
    handle_.reset(CreateThread(nullptr, 0, ThreadProc, this, CREATE_SUSPENDED, &id_));
    if (!handle_) ThrowLastError("Creating a worker thread");
    NameThread(handle_.get(), L"TWebThread");
}

TThread::~TThread()
{
    // A thread that frees itself is deleted on its own thread, where it must not
    // wait for itself.
    if (started_ && GetCurrentThreadId() != id_) WaitFor();
}

void TThread::Resume()
{
    if (started_) return;
    started_ = true;
    if (ResumeThread(handle_.get()) == static_cast<DWORD>(-1)) {
        started_ = false;
        ThrowLastError("Starting a worker thread");
    }
}

void TThread::WaitFor()
{
    if (handle_) WaitForSingleObject(handle_.get(), INFINITE);
}

void TThread::Terminate()
{
    if (!OnTerminate) return;
    try {
        door_.Run([this] {
            try {
                OnTerminate(this);
            } catch (...) {
                // The handler's error has no caller to go back to: the
                // application shows it like any other handler's.
                door_.ReportUnhandled(std::current_exception());
            }
        });
    } catch (...) {
        // The main thread could not be reached; the process is ending.
    }
}

DWORD WINAPI TThread::ThreadProc(void* param)
{
    auto* self = static_cast<TThread*>(param);
    try {
        self->Execute();
    } catch (...) {
        // A body is expected to catch its own errors; one that does not must
        // still reach its terminate handler.
    }
    const bool freeOnTerminate = self->FreeOnTerminate;
    self->Terminate();
    if (freeOnTerminate) std::unique_ptr<TThread> owner(self);
    return 0;
}

}  // namespace tallowfin
