// The thread-local variables of the compiled code (the C++ runtime's exception state among
// them), kept where this library can give them back. The compiler's own implementation keeps
// them through the thread runtime, which frees neither its TLS slot nor the data it makes for
// each calling thread when a library is unloaded from a running process: about 75 KB and one
// TLS slot per unload, until the host runs out of slots and aborts. This definition takes its
// place at link time: one Windows TLS slot, one block of values per thread, all of it freed
// when a thread ends and when the library is unloaded.
#include "extension/thread_locals.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// The compiler's descriptor of one thread-local variable. loc.offset is 0 until the variable
// is first used, then its 1-based index in every thread's block.
struct EmulatedTlsObject {
    std::size_t size;
    std::size_t align;
    union {
        std::uintptr_t offset;
        void* ptr;
    } loc;
    void* initialValue;
};

// One thread's values, in a list so that an unload can free the blocks of every thread.
struct ThreadBlock {
    ThreadBlock* previous;
    ThreadBlock* next;
    std::size_t capacity;
    void** values;  // capacity entries, each the variable's storage or null before first use
};

std::atomic<DWORD> g_slot{TLS_OUT_OF_INDEXES};
LONG g_variables = 0;
SRWLOCK g_blocksLock = SRWLOCK_INIT;  // guards g_blocks, and the creation of the slot
ThreadBlock* g_blocks = nullptr;

HANDLE heap() noexcept { return GetProcessHeap(); }

// Never null: like the compiler's own implementation, a thread that cannot get its variables
// cannot go on.
void* allocate(std::size_t bytes) noexcept {
    void* memory = HeapAlloc(heap(), HEAP_ZERO_MEMORY, bytes);
    if (!memory) std::abort();
    return memory;
}

// Made on first use, and again should anything use a variable after an unload released it.
DWORD slot() noexcept {
    if (const DWORD known = g_slot.load(); known != TLS_OUT_OF_INDEXES) return known;
    AcquireSRWLockExclusive(&g_blocksLock);
    if (g_slot.load() == TLS_OUT_OF_INDEXES) g_slot = TlsAlloc();
    ReleaseSRWLockExclusive(&g_blocksLock);
    if (g_slot.load() == TLS_OUT_OF_INDEXES) std::abort();
    return g_slot.load();
}

// The variable's storage, aligned as asked; the allocation's start is kept just before it.
void* newValue(const EmulatedTlsObject& object) noexcept {
    const std::size_t align = object.align > sizeof(void*) ? object.align : sizeof(void*);
    char* base = static_cast<char*>(allocate(object.size + align + sizeof(void*)));
    const auto aligned = (reinterpret_cast<std::uintptr_t>(base) + sizeof(void*) + align - 1) & ~(align - 1);
    void* value = reinterpret_cast<void*>(aligned);
    static_cast<void**>(value)[-1] = base;
    if (object.initialValue) std::memcpy(value, object.initialValue, object.size);
    return value;
}

void freeValue(void* value) noexcept {
    if (value) HeapFree(heap(), 0, static_cast<void**>(value)[-1]);
}

// The variable's index, given out once per loaded library on its first use by any thread.
std::uintptr_t indexOf(EmulatedTlsObject& object) noexcept {
    const auto index = reinterpret_cast<PVOID volatile*>(&object.loc.ptr);
    if (const PVOID known = InterlockedCompareExchangePointer(index, nullptr, nullptr))
        return reinterpret_cast<std::uintptr_t>(known);
    const auto fresh = reinterpret_cast<PVOID>(static_cast<std::uintptr_t>(InterlockedIncrement(&g_variables)));
    const PVOID before = InterlockedCompareExchangePointer(index, fresh, nullptr);
    return reinterpret_cast<std::uintptr_t>(before ? before : fresh);
}

ThreadBlock* blockOfThisThread(std::size_t index) noexcept {
    const DWORD tls = slot();
    auto* block = static_cast<ThreadBlock*>(TlsGetValue(tls));
    if (!block) {
        block = static_cast<ThreadBlock*>(allocate(sizeof(ThreadBlock)));
        AcquireSRWLockExclusive(&g_blocksLock);
        block->next = g_blocks;
        if (g_blocks) g_blocks->previous = block;
        g_blocks = block;
        ReleaseSRWLockExclusive(&g_blocksLock);
        TlsSetValue(tls, block);
    }
    if (index > block->capacity) {
        const std::size_t capacity = index + 32;
        void** values = static_cast<void**>(allocate(capacity * sizeof(void*)));
        if (block->values) {
            std::memcpy(values, block->values, block->capacity * sizeof(void*));
            HeapFree(heap(), 0, block->values);
        }
        block->values = values;
        block->capacity = capacity;
    }
    return block;
}

void freeBlock(ThreadBlock* block) noexcept {
    for (std::size_t i = 0; i < block->capacity; ++i) freeValue(block->values[i]);
    if (block->values) HeapFree(heap(), 0, block->values);
    HeapFree(heap(), 0, block);
}

}  // namespace

// Reached from every throw and catch and every use of a thread-local: the caller's last error
// (which is also Windows Sockets' error) must survive it, though TlsGetValue clears it.
extern "C" void* __emutls_get_address(EmulatedTlsObject* object) {
    const DWORD lastError = GetLastError();
    const std::size_t index = indexOf(*object);
    ThreadBlock* block = blockOfThisThread(index);
    void*& value = block->values[index - 1];
    if (!value) value = newValue(*object);
    SetLastError(lastError);
    return value;
}

void releaseThreadLocalsOfThisThread() noexcept {
    const DWORD tls = g_slot.load();
    if (tls == TLS_OUT_OF_INDEXES) return;
    auto* block = static_cast<ThreadBlock*>(TlsGetValue(tls));
    if (!block) return;
    TlsSetValue(tls, nullptr);
    AcquireSRWLockExclusive(&g_blocksLock);
    if (block->previous) block->previous->next = block->next;
    if (block->next) block->next->previous = block->previous;
    if (g_blocks == block) g_blocks = block->next;
    ReleaseSRWLockExclusive(&g_blocksLock);
    freeBlock(block);
}

void releaseAllThreadLocals() noexcept {
    AcquireSRWLockExclusive(&g_blocksLock);
    for (ThreadBlock* block = g_blocks; block;) {
        ThreadBlock* next = block->next;
        freeBlock(block);
        block = next;
    }
    g_blocks = nullptr;
    if (const DWORD tls = g_slot.exchange(TLS_OUT_OF_INDEXES); tls != TLS_OUT_OF_INDEXES) TlsFree(tls);
    ReleaseSRWLockExclusive(&g_blocksLock);
}
