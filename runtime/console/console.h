/* Console: a text terminal on the standard streams. Raw mode on descriptor 0,
 * cursor, colour and clear sequences (ECMA-48) on standard output, UTF-8 text
 * output, line input into the temporary string buffer, millisecond delays.
 * Programs call it from their body; the frame runs console_init and console_end.
 * State: the settings of descriptor 0 captured at start-up, the raw settings
 * built from them, the escapes switch and the open flag. */
#ifndef KRT_CONSOLE_CONSOLE_H
#define KRT_CONSOLE_CONSOLE_H

#include "core/rtconfig.h"
#include "core/rtstring.h"

KRT_EXTERN_C_BEGIN

/* Module initialiser. Makes stdin, stdout and stderr byte-oriented and
 * captures the settings of descriptor 0. When they could be captured, it also
 * arranges that SIGINT, SIGTERM, SIGHUP and SIGQUIT (unless ignored) put them
 * back on descriptor 0 before ending the process with the same signal. SIGPIPE
 * is ignored (unless the process set it otherwise) so that output to a closed
 * pipe fails quietly instead of ending the program with the terminal raw. */
void console_init(void);

/* Module end hook: applies the captured settings to descriptor 0 and gives
 * back the signal dispositions console_init changed. Idempotent and safe on
 * the out-of-memory exit; does nothing to the terminal when no settings were
 * captured (descriptor 0 was not a terminal). */
void console_end(void);

/* Raw mode: the captured settings with ICANON and ECHO cleared and VMIN and
 * VTIME 0, every other flag as captured. Applied to descriptor 0; returns 1. */
int32_t console_open(void);

/* Marks the console closed. The terminal stays raw until console_end. */
void console_close(void);

/* Accepts any title, null included; terminals here have no title to set. */
void console_set_title(RtConstString title);

/* Non-zero lets console_locate and console_clear write their sequences. */
void console_set_escapes(int32_t value);

/* ESC [y;xf: cursor to row y, column x (counted from 1, written unchanged),
 * then flush. Nothing when escapes are off. */
void console_locate(int32_t x, int32_t y);

/* ESC [2J: erase the display, cursor not moved, then flush. Nothing when
 * escapes are off. */
void console_clear(void);

/* ESC [F;Bm with the codes of colour numbers 0-15 (see the table in
 * console.cpp), then flush. Written whether or not escapes are on; numbers
 * outside 0-15 (negative ones included) write nothing. */
void console_colour(int32_t foreground, int32_t background);

/* The text as UTF-8 (null or empty: nothing), then flush. */
void console_print(RtConstString text);

/* The text as UTF-8 and LF (null: just LF), then flush. */
void console_print_line(RtConstString text);

/* Sleeps milliseconds / 1000 s and (milliseconds % 1000) ms once, and returns
 * nanosleep's result: -1 for a negative delay (EINVAL, no pause) and for a
 * sleep cut short by a signal, which is not resumed. */
int delay_ms(int32_t milliseconds);

/* Reads one line from standard input with the captured (start-up) settings in
 * force, so the terminal echoes and edits it, then applies the raw settings
 * again (the captured ones if the console was never opened). The line, up to
 * LF and without it, is decoded from UTF-8 into the temporary buffer at
 * `start`; the buffer position is left on its terminator. CR stays in the
 * text; a zero byte ends the text and the rest of the line is read and
 * dropped. The call that meets end of input gives what was read before it;
 * every later call gives LF "EOF" LF without reading. A line whose text cannot
 * fit the temporary buffer ends the process through rt_out_of_memory, as does
 * a line block that cannot be allocated; the terminal is restored there by
 * console_end. */
void console_input(int32_t start);

KRT_EXTERN_C_END

#endif
