// GDI+ with what its headers expect to be declared before them.
#pragma once

#include <windows.h>
#include <objidl.h>
#if defined(_MSC_VER) && defined(NOMINMAX)
#include <algorithm>
namespace Gdiplus {
using std::max;
using std::min;
}
#endif
#include <gdiplus.h>
