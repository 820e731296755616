#pragma once

// KL_API marks the library's public surface; everything else stays hidden.
#if defined(_WIN32)
#if defined(KL_BUILDING_LIBRARY)
#define KL_API __declspec(dllexport)
#else
#define KL_API __declspec(dllimport)
#endif
#else
#define KL_API __attribute__((visibility("default")))
#endif
