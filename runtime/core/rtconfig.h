/* Width- and platform-dependent choices of the runtime, kept in one place.
 * Every module includes this header; nothing else in the runtime tests the
 * pointer width or the compiler. */
#ifndef KRT_CORE_RTCONFIG_H
#define KRT_CORE_RTCONFIG_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define KRT_EXTERN_C_BEGIN extern "C" {
#define KRT_EXTERN_C_END }
#define KRT_NORETURN [[noreturn]]
#else
#define KRT_EXTERN_C_BEGIN
#define KRT_EXTERN_C_END
#define KRT_NORETURN _Noreturn
#endif

/* A signed integer as wide as a pointer: 32 bits on i386, 64 bits on x86-64.
 * Numeric program variables, block lengths and stored buffer fields use it. */
typedef intptr_t NativeInt;
#define NATIVEINT_MAX INTPTR_MAX

/* One 16-bit UTF-16 code unit. */
typedef uint16_t RtChar;

/* NUL-terminated 8-bit text, UTF-8 when the runtime makes it. */
typedef char *HostString;

#define KRT_POINTER_BITS (8 * (int)sizeof(void *))

#endif
