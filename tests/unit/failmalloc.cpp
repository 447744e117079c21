#include "failmalloc.h"

#include <cstddef>

extern "C" void *__real_malloc(size_t size);
extern "C" void *__real_realloc(void *pointer, size_t size);

namespace failmalloc {

static long countdown;  // calls left before the failing one; 0: off
static bool happened;

void fail_nth(long n)
{
    countdown = n;
    happened = false;
}

bool failed()
{
    return happened;
}

void off()
{
    countdown = 0;
}

static bool fails_now()
{
    if (countdown == 0 || --countdown != 0)
        return false;
    happened = true;
    return true;
}

}  // namespace failmalloc

extern "C" void *__wrap_malloc(size_t size)
{
    return failmalloc::fails_now() ? nullptr : __real_malloc(size);
}

extern "C" void *__wrap_realloc(void *pointer, size_t size)
{
    return failmalloc::fails_now() ? nullptr : __real_realloc(pointer, size);
}
