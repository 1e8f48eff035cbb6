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

/* Vector fast paths: SSE2 is part of every x86-64 CPU, so the 64-bit build
 * uses it unconditionally; every other target (i386 here) runs the portable
 * code, which gives the same results. */
#if defined(__x86_64__) && defined(__SSE2__)
#define KRT_HAVE_SSE2 1
#else
#define KRT_HAVE_SSE2 0
#endif

/* Marks a function that reads whole aligned 16-byte blocks and so may read
 * past the end of a text, never past the block that holds its last unit (an
 * aligned block never straddles a page). AddressSanitizer would report those
 * reads, which are harmless, so it leaves such functions uninstrumented. */
#if defined(__GNUC__)
#define KRT_BLOCK_OVERREAD __attribute__((no_sanitize_address))
#else
#define KRT_BLOCK_OVERREAD
#endif

#endif
