#include "AllocatedBytes.h"

#include <malloc.h>

#include <atomic>
#include <cstdlib>

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* pointer);
}

namespace {

// Held is measured in usable sizes, which free can know too.
std::atomic<long long> held{0};
std::atomic<long long> base{0};
std::atomic<long long> highest{0};
std::atomic<unsigned long long> askedBytes{0};
std::atomic<size_t> failLimit{0};

bool refused(size_t size)
{
    const size_t limit = failLimit.load(std::memory_order_relaxed);
    return limit != 0 && size > limit;
}

void* taken(void* pointer, size_t size)
{
    if (!pointer)
        return nullptr;
    askedBytes.fetch_add(size, std::memory_order_relaxed);
    const long long now = held.fetch_add(static_cast<long long>(malloc_usable_size(pointer))) +
                          static_cast<long long>(malloc_usable_size(pointer));
    long long top = highest.load(std::memory_order_relaxed);
    while (now > top && !highest.compare_exchange_weak(top, now, std::memory_order_relaxed)) {
    }
    return pointer;
}

void given(void* pointer)
{
    if (pointer)
        held.fetch_sub(static_cast<long long>(malloc_usable_size(pointer)));
}

}  // namespace

extern "C" void* malloc(size_t size)
{
    return refused(size) ? nullptr : taken(__libc_malloc(size), size);
}
extern "C" void* calloc(size_t count, size_t size)
{
    return refused(count * size) ? nullptr : taken(__libc_calloc(count, size), count * size);
}
extern "C" void* realloc(void* pointer, size_t size)
{
    if (refused(size))
        return nullptr;
    given(pointer);
    return taken(__libc_realloc(pointer, size), size);
}
extern "C" void* memalign(size_t alignment, size_t size)
{
    return refused(size) ? nullptr : taken(__libc_memalign(alignment, size), size);
}
extern "C" void* aligned_alloc(size_t alignment, size_t size)
{
    return memalign(alignment, size);
}
extern "C" int posix_memalign(void** pointer, size_t alignment, size_t size)
{
    *pointer = memalign(alignment, size);
    return *pointer ? 0 : 12;
}
extern "C" void free(void* pointer)
{
    given(pointer);
    __libc_free(pointer);
}

namespace allocatedbytes {

void start()
{
    askedBytes.store(0);
    base.store(held.load());
    highest.store(held.load());
}

size_t asked()
{
    return static_cast<size_t>(askedBytes.load());
}

size_t peak()
{
    const long long above = highest.load() - base.load();
    return above > 0 ? static_cast<size_t>(above) : 0;
}

void failAbove(size_t bytes)
{
    failLimit.store(bytes);
}

}  // namespace allocatedbytes
