// An LD_PRELOAD shim for tests/test_lanes.py: counts the allocations that
// code inside one address range (the module's shared object) asks for
// directly, through malloc or operator new.  Armed from Python through
// ctypes.
#include <cstddef>
#include <new>

extern "C" void *__libc_malloc(std::size_t size);

namespace {
char *range_begin, *range_end;
long seen; // allocations made by the range since arming

void count(void *caller)
{
    char *at = static_cast<char *>(caller);
    if (at >= range_begin && at < range_end)
        __atomic_add_fetch(&seen, 1, __ATOMIC_RELAXED);
}
} // namespace

extern "C" {
void shim_arm(void *begin, void *end)
{
    range_begin = static_cast<char *>(begin);
    range_end = static_cast<char *>(end);
    seen = 0;
}

long shim_seen() { return seen; }

void *malloc(std::size_t size)
{
    count(__builtin_return_address(0));
    return __libc_malloc(size);
}
}

void *operator new(std::size_t size)
{
    count(__builtin_return_address(0));
    void *p = __libc_malloc(size == 0 ? 1 : size);
    if (p == nullptr)
        throw std::bad_alloc();
    return p;
}
