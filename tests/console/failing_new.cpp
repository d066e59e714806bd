// operator new for dialog_init_test: the runtime's loop over the new-handler, failing on demand.
// In its own file so that no caller sees malloc and free behind new and delete.
#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <new>

// Allocations made with operator new by this thread fail while it is set.
std::atomic<DWORD> FailingThread{0};

void* operator new(std::size_t size) {
    for (;;) {
        if (FailingThread != GetCurrentThreadId()) {
            if (void* p = std::malloc(size != 0 ? size : 1)) {
                return p;
            }
        }
        std::new_handler handler = std::get_new_handler();
        if (handler == nullptr) {
            throw std::bad_alloc();
        }
        handler();
    }
}

void operator delete(void* p) noexcept {
    std::free(p);
}

void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
