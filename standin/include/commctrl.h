// Resolves to the stand-in layer of the native build.
#pragma once
#include "win32_standin.h"
