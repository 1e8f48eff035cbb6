// argreport: shows how it was started. It collects its command-line arguments
// (those GTK leaves) into one text, each followed by a CR, or "NONE" without
// any, shows it under a heading in a message dialog titled "Plinket", and
// exits with status 0 however the dialog ends. main hands this frame to
// program_run; tests run the body in-process.
#ifndef KRT_PROGRAMS_ARGREPORT_H
#define KRT_PROGRAMS_ARGREPORT_H

#include "core/frame.h"
#include "core/rtstring.h"

// Globals (zero-filled by the frame), initialisers in their order, body and
// end hooks.
extern const ProgramFrame argreport_frame;

// The body's variables, for tests.
struct ArgreportGlobals {
  NativeInt arg_count;
  NativeInt arg_index;
  StringVar args_text;
};
extern ArgreportGlobals argreport_globals;

#endif
