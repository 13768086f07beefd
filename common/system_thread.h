// A thread of the operating system's own, owned by one object: started by the
// constructor, waited for by Join or the destructor. On Windows it is made with
// CreateThread and waited for on its handle, as the download worker's thread
// is; elsewhere (the portable code's native tests) with pthreads. Nothing of
// the C++ threads library is involved, so no failure of its join (seen under
// the 32-bit threads library of MinGW as "No such process") can end the
// program from a destructor.
//
// The body must not let an exception escape; one that does is dropped at the
// thread's edge.
#pragma once

#include <functional>
#include <memory>

namespace tallowfin {

class SystemThread {
public:
    // Throws std::runtime_error when the system makes no thread.
    explicit SystemThread(std::function<void()> body);
    ~SystemThread();
    SystemThread(const SystemThread&) = delete;
    SystemThread& operator=(const SystemThread&) = delete;

    // Waits until the body has returned; at once when it already has.
    void Join() noexcept;

private:
    struct Native;
    std::unique_ptr<std::function<void()>> body_;
    std::unique_ptr<Native> native_;
};

}  // namespace tallowfin
