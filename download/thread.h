// A thread base in the manner the worker needs: made without running, started
// once, runs its body on its own thread, hands calls to the main thread through
// the door, and after the body calls its terminate handler on the main thread.
//
// Ownership: with FreeOnTerminate set, the thread owns itself from Resume on and
// deletes itself on its own thread right after the terminate handler has
// returned; nobody else may delete it. Without the flag, the creator owns it and
// its destructor waits for the body to end.
#pragma once

#include <windows.h>

#include <exception>
#include <functional>

#include "common/handle.h"
#include "download/main_thread_door.h"

namespace tallowfin {

class TThread {
public:
    explicit TThread(MainThreadDoor& door);
    virtual ~TThread();
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    // Starts the thread. Call once, after everything the body reads is set.
    void Resume();
    // Waits until the thread has ended (not for self-freeing threads).
    void WaitFor();

    bool FreeOnTerminate = false;
    std::function<void(TThread* Sender)> OnTerminate;

protected:
    virtual void Execute() = 0;
    // Runs `call` on the main thread while this thread waits; an exception the
    // call raised there is raised again here.
    void Synchronize(const std::function<void()>& call) { door_.Run(call); }
    MainThreadDoor& Door() const noexcept { return door_; }

private:
    static DWORD WINAPI ThreadProc(void* param);
    void Terminate();

    MainThreadDoor& door_;
    KernelHandle handle_;
    DWORD id_ = 0;
    bool started_ = false;
};

}  // namespace tallowfin
