// Runs message_dialog in this process against the test X server and answers
// it from the outside: while the dialog's loop runs, a GTK timeout looks at
// the realised widgets, asks the X tools how the server sees the window, and
// then clicks a button with a real pointer click or closes the window.
#ifndef KRT_TESTS_GUI_DIALOG_SESSION_H
#define KRT_TESTS_GUI_DIALOG_SESSION_H

#include <gtk/gtk.h>

#include <string>
#include <vector>

#include "gui/gui.h"
#include "xserver.h"

// What the session saw while the dialog was open.
struct DialogView {
  bool seen = false;
  std::string title;           // as GTK holds it
  std::string server_title;    // _NET_WM_NAME as the server holds it
  std::string motif_hints;     // _MOTIF_WM_HINTS as xprop prints it
  unsigned long xid = 0;
  // The text widget: a label directly in the dialog's vbox, or a text view
  // in a scrolled window there.
  bool label = false, scrolled = false;
  std::string text;  // the label's text or the text view's
  int label_lines = 0;
  int xpad = -1, ypad = -1;
  bool markup = false;
  std::vector<std::string> buttons;  // stock ids, left to right
  bool buttons_use_stock = true;
  int default_width = 0, default_height = 0;
  std::string focus;  // stock id of the window's focus widget, "" for none
  int accel_groups = 0;
  GtkWindowPosition position = GTK_WIN_POS_NONE;
  bool modal = true, transient = true;
  int x = 0, y = 0, width = 0, height = 0;  // on the screen, from xwininfo
  bool viewable = false;
  int button_x = 0, button_y = 0;  // centre of the answered button on the screen
  NativeInt state = 0, result = -1;  // dialog_state and dialog_result while open
  int32_t buffer_position = -1;      // of the temporary string buffer, while open
};

struct DialogSession {
  Answer answer = Answer::kClick;
  int button = 0;
  std::string screenshot;  // PNG of the window to save, "" for none
  // Outcome.
  DialogView view;
  NativeInt returned = -1;
  bool timed_out = false;
  bool accelerators_released = false;  // the dialog's accel group was finalised
  int module_destroys = 0;             // gtk_widget_destroy calls made during it
  std::vector<std::string> focus_grabs;  // buttons given the focus, by stock id
  bool events_pending_after = true;
  bool window_left_on_server = true;
  bool dialog_toplevel_left = true;
};

// Initialises the GUI module against the test display (once per process).
// Returns false with the reason when there is no server.
bool gui_ready(std::string *why);

// Shows message_dialog(title, text, flags) and answers it as the session
// says; fills in what was seen and what happened.
void run_dialog(DialogSession *session, RtConstString title, RtConstString text, NativeInt flags);

// Runs call(data), which shows one message dialog, and answers that dialog
// as the session says. `returned` is left to the call.
void answer_dialog_during(DialogSession *session, void (*call)(void *), void *data);

// Calls of gtk_init and gtk_widget_destroy made through this program's code
// (the linker routes them through counters).
int gtk_init_calls();

#endif
