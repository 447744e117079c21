// Lets the compiler check the arguments of the program's printf-style calls.
#pragma once

#if defined(__MINGW32__)
#define PRINTF_LIKE(format_index, first_arg) __attribute__((format(gnu_printf, format_index, first_arg)))
#elif defined(__GNUC__)
#define PRINTF_LIKE(format_index, first_arg) __attribute__((format(printf, format_index, first_arg)))
#else
#define PRINTF_LIKE(format_index, first_arg)
#endif
