/* Export marking shared by every public header of libvexcore.
 *
 * VEXCORE_API marks a function the library exports: dllexport while the
 * library itself is built, dllimport for its users on Windows, default
 * visibility elsewhere (everything not marked stays hidden). */
#ifndef VEXCORE_EXPORT_H
#define VEXCORE_EXPORT_H

#if defined(_WIN32)
#  if defined(VEXCORE_BUILDING)
#    define VEXCORE_API __declspec(dllexport)
#  else
#    define VEXCORE_API __declspec(dllimport)
#  endif
#else
#  define VEXCORE_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
#  define VEXCORE_BEGIN_DECLS extern "C" {
#  define VEXCORE_END_DECLS }
#else
#  define VEXCORE_BEGIN_DECLS
#  define VEXCORE_END_DECLS
#endif

#endif
