// The one export macro of libKivraWwiseWrapper. Which symbols a build makes
// visible is chosen by the build (see cmake/KivraPlatform.cmake): KW_API marks
// the game-facing interface; everything else stays inside the library.
#pragma once

#if defined(_WIN32)
#if defined(KIVRA_WRAPPER_BUILDING)
#define KW_API __declspec(dllexport)
#else
#define KW_API __declspec(dllimport)
#endif
#elif defined(KIVRA_WRAPPER_BUILDING)
#define KW_API __attribute__((visibility("default")))
#else
#define KW_API
#endif
