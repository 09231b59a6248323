/* dorvex/export.h -- symbol export for the public API (everything else is hidden). */
#ifndef DORVEX_EXPORT_H
#define DORVEX_EXPORT_H

#if defined(_WIN32) && !defined(DORVEX_STATIC)
#ifdef DORVEX_BUILDING
#define DORVEX_API __declspec(dllexport)
#else
#define DORVEX_API __declspec(dllimport)
#endif
#elif defined(__GNUC__) || defined(__clang__)
#define DORVEX_API __attribute__((visibility("default")))
#else
#define DORVEX_API
#endif

#endif /* DORVEX_EXPORT_H */
