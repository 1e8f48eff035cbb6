/* Text conversion between runtime strings (UTF-16) and 8-bit text: two
 * converters selected by code page, and the routines the console, the program
 * arguments and the GUI call to move text out of and into the runtime. */
#ifndef KRT_CORE_TEXTCONV_H
#define KRT_CORE_TEXTCONV_H

#include "core/rtstring.h"

KRT_EXTERN_C_BEGIN

#define CODEPAGE_UTF8 65001
#define CODEPAGE_LATIN1 0

/* Converts `length` units (-1: up to and including the terminator) to the
 * code page. A null destination counts the bytes needed; otherwise at most
 * `size` bytes are written, UTF-8 sequences whole, and the count written is
 * returned. 0 for an unknown code page. Malformed surrogates: the counting
 * pass stops at an unpaired high surrogate; the converting pass returns what
 * it wrote when one ends the range, and 0 when a non-low unit follows it. A
 * lone low surrogate is encoded as itself (0xDC00 gives ED B0 80). */
int32_t utf16_to_multibyte(int32_t code_page, const RtChar *source, int32_t length,
                           char *destination, int32_t size);

/* Converts `length` bytes (-1: up to and including the NUL) to UTF-16. A null
 * destination counts the units needed; otherwise at most `size` units are
 * written, surrogate pairs whole. Malformed UTF-8: a stray continuation or
 * F8..FF lead stops counting (converting returns 0); a cut sequence or a value
 * above 0x10FFFF stops both; a non-continuation byte inside a sequence is
 * dropped with it and the value so far stands. 0 for an unknown code page. */
int32_t multibyte_to_utf16(int32_t code_page, const char *source, int32_t length,
                           RtChar *destination, int32_t size);

/* New malloc'd UTF-8 copy of text (null is ""), released with host_string_free.
 * Unpaired surrogates become U+FFFD. When the copy cannot be allocated a fresh
 * "" is returned; the result is never null. */
HostString str_to_host_utf8(RtConstString text);
/* Frees a HostString made by this module; null is ignored. */
void host_string_free(HostString host);

/* Decodes UTF-8 host text (null is "") into the temporary buffer at byte
 * offset `start` and leaves the position on its terminator. Each maximal
 * ill-formed subsequence becomes one U+FFFD; the result is always terminated
 * and the position never moves before start. Returns the units written,
 * terminator included. */
int32_t host_utf8_to_strbuf(const char *host, int32_t start);

/* New malloc block with the decoded text (same rules), terminator included;
 * null when it cannot be allocated. */
RtString host_utf8_to_new_str(const char *host);

/* Writes value in decimal followed by a NUL: at most 12 bytes. */
void format_decimal(int32_t value, char *destination);

KRT_EXTERN_C_END

#endif
