/* Program arguments: lets a program body count its command-line arguments and
 * read them as runtime strings, one after another or by number. Program bodies
 * call it after args_init. It keeps one cursor (the vector entry handed out
 * last) in a state slot and reads ProgramState's argc and argv afresh on every
 * call, so it sees only what GTK's initialisation left there. */
#ifndef KRT_GUI_ARGS_H
#define KRT_GUI_ARGS_H

#include "core/rtconfig.h"

KRT_EXTERN_C_BEGIN

/* The module's whole mutable state. index is the vector entry handed out
 * last: 0 after args_init, so the first args_next hands out entry 1. */
typedef struct ArgumentCursor {
  NativeInt index;
} ArgumentCursor;

/* Called once with a new state block. */
typedef void (*StateSlotInitialiser)(void *block);

/* Allocates a zero-filled SizedBlock of `size` bytes (block_alloc) and, when
 * `initialiser` is not null, calls it once with the block. Returns the slot
 * handle, or null when the block cannot be allocated (the initialiser is then
 * not called). The slot lives until the process exits. */
void *state_slot_alloc(NativeInt size, StateSlotInitialiser initialiser);

/* The state block of `slot`. A slot is one process-wide block, so this is
 * `slot` itself; callers still go through it on every access. */
void *state_slot_get(void *slot);

/* Module initialiser: creates the cursor slot (zero fill is the cursor's only
 * initialisation). Runs once, after gui_init in a GUI program. When the slot
 * cannot be allocated the process ends through rt_out_of_memory. */
void args_init(void);

/* ProgramState's argc minus 1: the arguments after the program path. No lower
 * bound: a process whose vector is empty gets -1. */
NativeInt args_count(void);

/* Advances the cursor (always, even past the end) and writes the argument it
 * now names into the temporary buffer at byte offset `start`, converted from
 * UTF-8 (bad bytes become U+FFFD); after the last argument it writes the empty
 * string. The position ends on the text's terminator. */
void args_next(NativeInt start);

/* Writes argument n (0 is the first after the program path) into the buffer
 * at `start` and moves the cursor onto it, so that the next args_next yields
 * argument n + 1. For n < 0 or n >= args_count() it writes the empty string
 * and leaves the cursor alone. */
void args_by_index(NativeInt n, NativeInt start);

KRT_EXTERN_C_END

#endif
