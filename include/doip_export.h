/* The one export macro of the library: dllexport while the DLL is built, dllimport for its users on
 * Windows, default visibility elsewhere. Everything not marked with it stays hidden. */
#ifndef DOIP_EXPORT_H
#define DOIP_EXPORT_H

#if defined(_WIN32) || defined(__CYGWIN__)
#if defined(DOIP_BUILDING_LIBRARY)
#define DOIP_API __declspec(dllexport)
#else
#define DOIP_API __declspec(dllimport)
#endif
#else
#define DOIP_API __attribute__((visibility("default")))
#endif

#endif
