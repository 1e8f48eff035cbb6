/* Program frame: the entry every runtime program runs through, its process-wide
 * ProgramState, the start sequence (buffer first, then the program's module
 * initialisers), the end sequence and the out-of-memory exit. Programs call
 * program_run from main; modules call rt_out_of_memory. */
#ifndef KRT_CORE_FRAME_H
#define KRT_CORE_FRAME_H

#include "core/rtconfig.h"

KRT_EXTERN_C_BEGIN

typedef struct ProgramState {
  int32_t argc;       /* as received, program path included; the GUI may shrink it */
  char **argv;        /* as received; entry 0 is the program path */
  NativeInt exit_code;/* handed to exit(); starts at 0 */
  void *saved_stack;  /* frame position recorded before the first initialiser */
} ProgramState;

/* The one ProgramState of the process. */
extern ProgramState program_state;

typedef void (*ModuleHook)(void);

/* What a program hands to program_run. */
typedef struct ProgramFrame {
  /* Area of the program's own globals that is zero-filled, together with
   * program_state, before anything else runs; null skips the fill (globals
   * that start from static zero values need none). */
  void *globals;
  size_t globals_size;
  /* Module initialisers run after strbuf_init, in this order. */
  const ModuleHook *initialisers;
  int32_t initialiser_count;
  void (*body)(void);
  /* Calls the end hooks in the reverse order of the initialisers; may be null. */
  void (*run_end_hooks)(void);
} ProgramFrame;

/* Runs the start sequence, the body and program_end. Never returns. */
KRT_NORETURN void program_run(const ProgramFrame *frame, int argc, char **argv);

/* End sequence: end hooks, buffer release, back to the frame's saved stack
 * position, exit(program_state.exit_code). Valid from any call depth of the
 * body; outside program_run it runs the same steps and exits directly. */
KRT_NORETURN void program_end(void);

/* Exit status used when memory runs out. */
#define RT_EXIT_OUT_OF_MEMORY 71

/* The process-wide answer to an allocation that cannot be had where the
 * runtime has no null result to give: writes one line naming `what` to
 * standard error, runs the program's end hooks (so shared state such as the
 * terminal is given back) and exits with RT_EXIT_OUT_OF_MEMORY. Never returns;
 * a second call while the first runs skips the hooks. */
KRT_NORETURN void rt_out_of_memory(const char *what);

/* Registers the hook that rt_out_of_memory runs before exiting. program_run
 * sets it to the frame's run_end_hooks; code that does not use the frame (a
 * test, a library user) may set its own. Returns the previous hook. */
ModuleHook rt_set_exit_hook(ModuleHook hook);

KRT_EXTERN_C_END

#endif
