#pragma once

// Symbol visibility for the TavixSdk shared library.
#if defined(_WIN32)
#  if defined(TAVIX_SDK_BUILDING)
#    define TAVIX_API __declspec(dllexport)
#  else
#    define TAVIX_API __declspec(dllimport)
#  endif
#else
#  define TAVIX_API __attribute__((visibility("default")))
#endif
