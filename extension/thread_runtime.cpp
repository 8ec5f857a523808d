// The little that the compiler's runtime asks of a thread library inside this library (one-time
// initialisation, and plain locks for the exception machinery: the unwinder's frame tables in
// 32-bit code, the emergency exception buffer), served by Windows without any thread runtime.
// The thread runtime's own versions make data for each calling thread, and a TLS slot, that
// an unloaded library never gives back: 32-bit code registers its unwind tables through them
// at every load. Defining these here keeps the thread runtime out of the image.
#include <windows.h>

#include <cstdint>

namespace {

constexpr LONG kOnceNotRun = 0;
constexpr LONG kOnceRunning = 1;
constexpr LONG kOnceDone = 2;

// Any other value is an unlocked lock: 0, or one of the thread runtime's static initialisers,
// which are small negative numbers.
const PVOID kLocked = reinterpret_cast<PVOID>(1);

}  // namespace

extern "C" {

int pthread_once(long* once, void (*function)(void)) {
    auto* state = reinterpret_cast<volatile LONG*>(once);
    if (InterlockedCompareExchange(state, kOnceNotRun, kOnceNotRun) == kOnceDone) return 0;
    if (InterlockedCompareExchange(state, kOnceRunning, kOnceNotRun) == kOnceNotRun) {
        function();
        InterlockedExchange(state, kOnceDone);
        return 0;
    }
    while (InterlockedCompareExchange(state, kOnceDone, kOnceDone) != kOnceDone) SwitchToThread();
    return 0;
}

// The callers hold these locks for short stretches (a lookup in the unwinder's tables), so a
// waiter yields its time slice rather than sleep on a kernel object that would have to be
// created, and freed again, for every lock.
int pthread_mutex_init(std::intptr_t* mutex, const void*) {
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(mutex), nullptr);
    return 0;
}

int pthread_mutex_destroy(std::intptr_t*) { return 0; }

int pthread_mutex_lock(std::intptr_t* mutex) {
    auto* word = reinterpret_cast<PVOID volatile*>(mutex);
    for (;;) {
        const PVOID seen = InterlockedCompareExchangePointer(word, nullptr, nullptr);
        if (seen != kLocked && InterlockedCompareExchangePointer(word, kLocked, seen) == seen) return 0;
        SwitchToThread();
    }
}

int pthread_mutex_unlock(std::intptr_t* mutex) {
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(mutex), nullptr);
    return 0;
}

}  // extern "C"
