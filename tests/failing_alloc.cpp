// An LD_PRELOAD shim for tests/test_faults.py: makes the N-th allocation that
// code inside one address range (the module's shared object) asks for
// directly, through malloc or operator new, fail.  Everything else allocates
// as usual.  Armed from Python through ctypes.
#include <cerrno>
#include <cstddef>
#include <new>

extern "C" void *__libc_malloc(std::size_t size);

namespace {
char *range_begin, *range_end;
long countdown;       // allocations left before the failing one; 0: disarmed
long injected;        // failures made so far
long seen;            // allocations made by the range since arming

bool fail_now(void *caller)
{
    char *at = static_cast<char *>(caller);
    if (at < range_begin || at >= range_end)
        return false;
    __atomic_add_fetch(&seen, 1, __ATOMIC_RELAXED);
    if (__atomic_load_n(&countdown, __ATOMIC_RELAXED) == 0 ||
        __atomic_sub_fetch(&countdown, 1, __ATOMIC_RELAXED) != 0)
        return false;
    __atomic_add_fetch(&injected, 1, __ATOMIC_RELAXED);
    return true;
}
} // namespace

extern "C" {
void shim_arm(void *begin, void *end, long n)
{
    range_begin = static_cast<char *>(begin);
    range_end = static_cast<char *>(end);
    seen = 0;
    __atomic_store_n(&countdown, n, __ATOMIC_RELAXED);
}

long shim_injected() { return injected; }
long shim_seen() { return seen; }

void *malloc(std::size_t size)
{
    if (fail_now(__builtin_return_address(0))) {
        errno = ENOMEM;
        return nullptr;
    }
    return __libc_malloc(size);
}
}

void *operator new(std::size_t size)
{
    if (fail_now(__builtin_return_address(0)))
        throw std::bad_alloc();
    void *p = __libc_malloc(size == 0 ? 1 : size);
    if (p == nullptr)
        throw std::bad_alloc();
    return p;
}
