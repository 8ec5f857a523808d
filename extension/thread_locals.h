#pragma once
// Giving back the thread-local variables of the library's code: a thread's when it ends, and
// every thread's (with the TLS slot) when the library is unloaded from a running process.
void releaseThreadLocalsOfThisThread() noexcept;
void releaseAllThreadLocals() noexcept;
