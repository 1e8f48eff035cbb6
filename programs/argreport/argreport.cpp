// argreport's variables, literals, body and frame.
#include "argreport.h"

#include "containers/hashmap.h"
#include "core/rtstring.h"
#include "events/events.h"
#include "gui/args.h"
#include "gui/gui.h"

ArgreportGlobals argreport_globals;

namespace {

// String literals: UTF-16 with a 0 unit at the end.
const char16_t kEmptyText[] = u"";
const char16_t kLineEnd[] = u"\r";
const char16_t kHeading[] = u"Plinket launched. Arguments were:\r";
const char16_t kTitle[] = u"Plinket";
const char16_t kNoArguments[] = u"NONE";

RtConstString literal(const char16_t *text) { return reinterpret_cast<RtConstString>(text); }

void body() {
  ArgreportGlobals &g = argreport_globals;
  g.arg_count = args_count();
  strvar_assign(&g.args_text, literal(kNoArguments));
  if (g.arg_count >= 1) {
    strvar_assign(&g.args_text, literal(kEmptyText));
    // args_text := args_text + next argument + CR; the bound is read anew
    // before each pass.
    for (g.arg_index = 0; g.arg_index <= g.arg_count - 1; ++g.arg_index) {
      int32_t start = strbuf_position();
      strbuf_append(g.args_text);
      args_next(strbuf_position());
      strbuf_append(literal(kLineEnd));
      strvar_assign_from_buffer(&g.args_text, start);
    }
  }
  int32_t start = strbuf_position();
  strbuf_append(literal(kHeading));
  strbuf_append(g.args_text);
  // Past the text's terminator: nothing built in the buffer from here until
  // the position is set back, the dialog's call included, can overwrite it.
  strbuf_set_position(strbuf_position() + 2);
  message_dialog_ok(literal(kTitle), strbuf_text_at(start));
  strbuf_set_position(start);
}

// GTK comes first, so that its options are gone before the arguments module
// counts them.
const ModuleHook kInitialisers[] = {gui_init, map_register_ops, events_init, dialog_init, args_init};

void run_end_hooks() {
  events_end();
  gui_end();
}

}  // namespace

const ProgramFrame argreport_frame = {
    &argreport_globals, sizeof argreport_globals, kInitialisers,
    static_cast<int32_t>(sizeof kInitialisers / sizeof kInitialisers[0]), body, run_end_hooks};
