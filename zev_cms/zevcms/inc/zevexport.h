// Export macros for the toolkit's shared libraries. Every library is built with hidden
// visibility; only what carries one of these macros leaves the library.
#ifndef ZEV_CMS_ZEVEXPORT_H
#define ZEV_CMS_ZEVEXPORT_H

#if defined(_WIN32)
#define ZEV_DLL_EXPORT __declspec(dllexport)
#define ZEV_DLL_IMPORT __declspec(dllimport)
#else
#define ZEV_DLL_EXPORT __attribute__((visibility("default")))
#define ZEV_DLL_IMPORT __attribute__((visibility("default")))
#endif

// libzev9cms: the host toolkit layer.
#if defined(ZEVCMS_BUILDING)
#define ZEVCMS_EXPORT ZEV_DLL_EXPORT
#else
#define ZEVCMS_EXPORT ZEV_DLL_IMPORT
#endif

// libzev9drld: the LDAP directory plug-in.
#if defined(ZUZEDER_BUILDING)
#define ZUZEDER_EXPORT ZEV_DLL_EXPORT
#elif defined(ZUZEDER_STATIC)
#define ZUZEDER_EXPORT
#else
#define ZUZEDER_EXPORT ZEV_DLL_IMPORT
#endif

#endif
