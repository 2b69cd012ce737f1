#pragma once
// Calls into the optional hook library beside the conduit library. The library is loaded
// from its full path for each single call and freed right after; when it or the entry
// point is missing the call does nothing.

#include <cstdint>
#include <string>

#include "base/exception.h"

QP_DECLARE_EXCEPTION(EKLVHookError, Exception);

// The hook library's full path: the conduit library's folder and libQuillorPlus_Hook.so.
std::string HookLibraryPath();

// Calls DoQuillorP_PreHSProcess or DoQuillorP_PostHSProcess with the hook library's path.
// False when nothing was called. An error leaving the hook is raised again as EKLVHookError
// "<entry point>: <its text>", after the library was freed.
bool CallRunHook(const char* entryPoint);
// Calls DoQuillorP_PreSessionProcess or DoQuillorP_PostSessionProcess likewise.
bool CallSessionHook(const char* entryPoint, int32_t slot, void* sessionPrefs);
