#pragma once

// Marks what a shared library promises to other modules. Everything else is
// built with hidden visibility.
#if defined(_WIN32)
#define VYR_EXPORT __declspec(dllexport)
#else
#define VYR_EXPORT __attribute__((visibility("default")))
#endif
