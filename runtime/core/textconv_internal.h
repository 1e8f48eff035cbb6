/* Internals of text conversion, shared with its tests. Every converter exists
 * three times: the reference (one character at a time; it defines every
 * result, malformed input included), the portable fast path (windows
 * classified in plain C++; what i386 runs) and, on x86-64, the SSE2 fast
 * path that the public converters use. The fast paths must equal the
 * reference. */
#ifndef KRT_CORE_TEXTCONV_INTERNAL_H
#define KRT_CORE_TEXTCONV_INTERNAL_H

#include "core/textconv.h"

/* The classic converters behind multibyte_to_utf16 and utf16_to_multibyte,
 * for length > 0 (the public functions resolve -1 and the code page first):
 * a null destination counts, otherwise at most `size` units or bytes are
 * written and their number returned.
 *
 * The *_replacing pair is the decoder and encoder behind host_utf8_to_strbuf,
 * host_utf8_to_new_str and str_to_host_utf8, with U+FFFD for ill-formed UTF-8
 * and unpaired surrogates. A null destination counts; otherwise the
 * destination has room for exactly `room` units or bytes, the count, and the
 * count is returned again. */
int32_t textconv_utf8_to_utf16_reference(const uint8_t *source, int32_t length,
                                         RtChar *destination, int32_t size);
int32_t textconv_utf16_to_utf8_reference(const RtChar *source, int32_t length, char *destination,
                                         int32_t size);
int32_t textconv_latin1_to_utf16_reference(const uint8_t *source, int32_t length,
                                           RtChar *destination, int32_t size);
int32_t textconv_utf16_to_latin1_reference(const RtChar *source, int32_t length,
                                           char *destination, int32_t size);
int64_t textconv_utf8_to_utf16_replacing_reference(const uint8_t *source, int64_t length,
                                                   RtChar *destination, int64_t room);
int64_t textconv_utf16_to_utf8_replacing_reference(const RtChar *source, int64_t length,
                                                   char *destination, int64_t room);

int32_t textconv_utf8_to_utf16_portable(const uint8_t *source, int32_t length,
                                        RtChar *destination, int32_t size);
int32_t textconv_utf16_to_utf8_portable(const RtChar *source, int32_t length, char *destination,
                                        int32_t size);
int32_t textconv_latin1_to_utf16_portable(const uint8_t *source, int32_t length,
                                          RtChar *destination, int32_t size);
int32_t textconv_utf16_to_latin1_portable(const RtChar *source, int32_t length,
                                          char *destination, int32_t size);
int64_t textconv_utf8_to_utf16_replacing_portable(const uint8_t *source, int64_t length,
                                                  RtChar *destination, int64_t room);
int64_t textconv_utf16_to_utf8_replacing_portable(const RtChar *source, int64_t length,
                                                  char *destination, int64_t room);

#if KRT_HAVE_SSE2
int32_t textconv_utf8_to_utf16_sse2(const uint8_t *source, int32_t length, RtChar *destination,
                                    int32_t size);
int32_t textconv_utf16_to_utf8_sse2(const RtChar *source, int32_t length, char *destination,
                                    int32_t size);
int32_t textconv_latin1_to_utf16_sse2(const uint8_t *source, int32_t length,
                                      RtChar *destination, int32_t size);
int32_t textconv_utf16_to_latin1_sse2(const RtChar *source, int32_t length, char *destination,
                                      int32_t size);
int64_t textconv_utf8_to_utf16_replacing_sse2(const uint8_t *source, int64_t length,
                                              RtChar *destination, int64_t room);
int64_t textconv_utf16_to_utf8_replacing_sse2(const RtChar *source, int64_t length,
                                              char *destination, int64_t room);
#endif

#endif
