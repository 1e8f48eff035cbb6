/* GUI module: the one-time GTK initialisation, conversions between runtime
 * strings and text from GLib's allocator, and a modal message dialog that runs
 * GTK's loop itself, one iteration at a time, until it is answered. GUI
 * programs call gui_init first (before args_init) and message_dialog from
 * their body. It keeps three process-wide values: whether GTK is initialised,
 * and the state and result of the dialog on screen; all on one thread. */
#ifndef KRT_GUI_GUI_H
#define KRT_GUI_GUI_H

#include "core/rtstring.h"

KRT_EXTERN_C_BEGIN

/* Bits of message_dialog's flags; bit 0 is tested first, others are ignored. */
#define DIALOG_FLAG_YES_NO 1        /* "gtk-yes", "gtk-no"; 250 x 50 */
#define DIALOG_FLAG_YES_NO_CANCEL 2 /* "gtk-yes", "gtk-no", "gtk-cancel"; 300 x 50 */
/* Neither bit: one "gtk-ok" button, 100 x 50. */

/* message_dialog's results. */
#define DIALOG_RESULT_NONE 0 /* window destroyed without a button */
#define DIALOG_RESULT_OK 1
#define DIALOG_RESULT_CANCEL 2
#define DIALOG_RESULT_YES 6
#define DIALOG_RESULT_NO 7

/* 0 until gtk_init has run, then 1. */
extern int32_t gui_initialised;
/* 1 while a dialog waits, 0 once a button ended it, -1 once its window is
 * destroyed. */
extern NativeInt dialog_state;
/* Result of the dialog in progress, or of the one shown last. */
extern NativeInt dialog_result;

/* Initialises GTK once with ProgramState's argc and argv, which lose GTK's own
 * options in place; later calls do nothing. Without a display GTK prints its
 * message and ends the process inside this call. */
void gui_init(void);
/* End hook; GTK is not shut down, so it does nothing. */
void gui_end(void);
/* The message dialog's initialiser; it does nothing. */
void dialog_init(void);

/* Shows a centred dialog with `title` and `text` (null reads as empty; CRs
 * break lines) and the buttons chosen by `flags`, and iterates GTK's loop until
 * a button is pressed or the window is destroyed. The window is gone and no
 * GTK event is pending when it returns. Returns the pressed button's
 * DIALOG_RESULT_* code, or DIALOG_RESULT_NONE. A text too large for the screen
 * is shown in a read-only view that scrolls. Only one dialog at a time. */
NativeInt message_dialog(RtConstString title, RtConstString text, NativeInt flags);
/* message_dialog(title, text, 0). */
NativeInt message_dialog_ok(RtConstString title, RtConstString text);

/* GTK "clicked" handler of the dialog's buttons (button: GtkButton *, code:
 * the button's result as pointer-sized user data): ends the dialog with code. */
void on_dialog_button_clicked(void *button, void *code);
/* GTK "destroy" handler of the dialog: marks the window destroyed. */
void on_dialog_destroy(void *object, void *data);

/* New UTF-8 copy of s from GLib's allocator (null is ""); unpaired surrogates
 * become U+FFFD, so GTK always gets valid UTF-8. Never null: when the copy
 * cannot be allocated the result is a fresh "". Free with glib_string_free. */
char *str_to_glib_utf8(RtConstString s);
/* g_free. */
void glib_string_free(char *p);
/* New GLib-allocated ISO-8859-15 form of UTF-8 text p (null is ""); text that
 * cannot be converted comes back as an unchanged copy. Never null. */
char *glib_utf8_to_iso8859_15(const char *p);
/* New GLib-allocated UTF-8 form of ISO-8859-15 text p (null is ""); never null. */
char *glib_iso8859_15_to_utf8(const char *p);

KRT_EXTERN_C_END

#endif
