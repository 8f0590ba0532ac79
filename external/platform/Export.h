#pragma once

// Marks what a shared library promises to other modules. Everything else is
// built with hidden visibility.
#if defined(_WIN32)
#define VYR_EXPORT __declspec(dllexport)
#define VYR_HIDDEN
#else
#define VYR_EXPORT __attribute__((visibility("default")))
// A member of an exported class that stays inside the library.
#define VYR_HIDDEN __attribute__((visibility("hidden")))
#endif
