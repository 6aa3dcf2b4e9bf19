// SPDX-License-Identifier: Apache-2.0
#ifndef QUORVEX_EXPORT_H
#define QUORVEX_EXPORT_H

// Everything not marked QUORVEX_API stays hidden: the library is built with
// hidden visibility, so this macro is the whole exported surface.
#if defined(_WIN32)
   // QUORVEX_STATIC: code linked with the library's objects in one image
   // (its own white-box tests), which imports nothing.
#  if defined(QUORVEX_STATIC)
#    define QUORVEX_API
#  elif defined(quorvex_EXPORTS)
#    define QUORVEX_API __declspec(dllexport)
#  else
#    define QUORVEX_API __declspec(dllimport)
#  endif
#else
#  define QUORVEX_API __attribute__((visibility("default")))
#endif

#endif
