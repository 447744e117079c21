#include "core/number_text.h"

#include <cmath>
#include <cstdlib>

bool is_numeric(const char *text)
{
    char *end = nullptr;
    std::strtod(text, &end);
    // An empty text converts nothing; it is not the number 0.
    return end != text && *end == '\0';
}

bool cell_number(const char *text, double *value)
{
    if (!is_numeric(text))
        return false;
    *value = std::atof(text);
    return std::isfinite(*value);
}
