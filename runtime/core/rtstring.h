/* String engine: UTF-16 runtime strings, string variables that own a heap copy,
 * and the one process-wide temporary buffer in which every string expression is
 * built. Program bodies and every runtime module that produces text call it.
 * No locks: the buffer and the string variables belong to one thread. */
#ifndef KRT_CORE_RTSTRING_H
#define KRT_CORE_RTSTRING_H

#include "core/rtconfig.h"

KRT_EXTERN_C_BEGIN

/* Pointer to UTF-16 units ending in a 0 unit; null is the empty string
 * wherever an operation says it accepts null. */
typedef RtChar *RtString;
typedef const RtChar *RtConstString;

/* Null (empty) or an owned malloc block of at least 2*length + 10 bytes. */
typedef RtChar *StringVar;

/* The temporary buffer. position is the byte offset of the terminator of the
 * text being built; positions are offsets, never pointers, because any
 * operation that may grow the buffer may move the block. */
typedef struct TempStringBuffer {
  char *base;
  NativeInt position;
  NativeInt capacity;
} TempStringBuffer;

extern TempStringBuffer temp_strbuf;

/* The buffer never grows to or past this many bytes; a request that would is
 * treated as exhausted memory (rt_out_of_memory). */
#define STRBUF_MAX_BYTES ((int64_t)1 << 31)

/* position 0, capacity 16, a new 16-byte block. */
void strbuf_init(void);
/* Frees the block; the buffer must not be used afterwards. */
void strbuf_release(void);

/* Makes room for `count` units written at byte offset `start` and sets the
 * position to start + 2*count. Returns base + start, valid until the next
 * buffer operation. Growth: when the need reaches capacity - 4, capacity
 * becomes need + 16384 and the block capacity + 10 bytes. Negative counts and
 * starts count as 0. */
RtChar *strbuf_reserve(int32_t count, int32_t start);

/* Appends text at the position; null writes only a terminator there. A text
 * that lies inside the buffer itself is copied correctly. */
void strbuf_append(RtConstString text);

/* Current position, the position put back after an expression, and the text
 * that starts at a byte offset (valid until the next buffer operation). */
static inline int32_t strbuf_position(void) { return (int32_t)temp_strbuf.position; }
static inline void strbuf_set_position(int32_t start) { temp_strbuf.position = start; }
static inline RtString strbuf_text_at(int32_t start) { return (RtString)(temp_strbuf.base + start); }

/* The slot gets its own copy of text and 2*length + 2 is returned; null text
 * frees the slot, sets it to null and returns 2. The text may be the slot's
 * own block. */
NativeInt strvar_assign(StringVar *slot, RtConstString text);

/* The slot gets a copy of the buffer text from `start` to the position; then
 * the position goes back to start. The slot may be an operand of the text. */
void strvar_assign_from_buffer(StringVar *slot, int32_t start);

/* A new copy of text into an empty slot (old block neither freed nor reused);
 * null text leaves the slot unchanged. */
void strvar_new(StringVar *slot, RtConstString text);

/* Copies count units and writes a terminator at index count; count <= 0 only
 * writes the terminator. Source and destination may overlap. */
void rt_copy_units(RtChar *destination, const RtChar *source, int32_t count);

/* Units before the terminator of a non-null text. */
NativeInt rt_strlen(RtConstString text);
/* Copies a non-null text and its terminator; returns destination. */
RtChar *rt_strcopy(RtChar *destination, RtConstString source);
/* 0 when equal, else the difference of the first differing units, each taken
 * as a signed 16-bit value. */
int rt_strcmp(RtConstString a, RtConstString b);
/* As rt_strcmp with each unit folded by towlower (current locale); units from
 * 0x8000 up compare exactly. */
int rt_strcmp_nocase(RtConstString a, RtConstString b);

KRT_EXTERN_C_END

#endif
