// GTK initialisation, GLib text conversions and the modal message dialog.
#include "gui/gui.h"

#include <gtk/gtk.h>

#include "core/frame.h"

static_assert(sizeof(int) == sizeof(int32_t), "gtk_init takes ProgramState's argc as an int");

int32_t gui_initialised = 0;
NativeInt dialog_state = 0;
NativeInt dialog_result = 0;

namespace {

struct DialogButton {
  const char *stock_id;
  NativeInt code;
};

// The buttons of one dialog variant, left to right, and its window defaults.
struct DialogVariant {
  DialogButton buttons[3];
  int count;
  int width, height;
  bool focus_first;  // give the first button the keyboard focus
};

const DialogVariant kOkVariant = {{{"gtk-ok", DIALOG_RESULT_OK}}, 1, 100, 50, true};
const DialogVariant kYesNoVariant = {
    {{"gtk-yes", DIALOG_RESULT_YES}, {"gtk-no", DIALOG_RESULT_NO}}, 2, 250, 50, true};
const DialogVariant kYesNoCancelVariant = {{{"gtk-yes", DIALOG_RESULT_YES},
                                            {"gtk-no", DIALOG_RESULT_NO},
                                            {"gtk-cancel", DIALOG_RESULT_CANCEL}},
                                           3, 300, 50, false};

const DialogVariant &variant_for(NativeInt flags) {
  if (flags & DIALOG_FLAG_YES_NO) return kYesNoVariant;
  if (flags & DIALOG_FLAG_YES_NO_CANCEL) return kYesNoCancelVariant;
  return kOkVariant;
}

constexpr int kLabelPadding = 10;

// The dialog's text may take this share of the screen in either direction
// before it scrolls; the rest is room for the buttons and the window frame.
constexpr int kScreenShareNumerator = 3;
constexpr int kScreenShareDenominator = 4;

inline bool is_high_surrogate(uint32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
inline bool is_low_surrogate(uint32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// UTF-8 for `length` units of s, each unpaired surrogate as U+FFFD (GTK
// rejects text that is not valid UTF-8 and would show nothing). A null
// destination counts the bytes; otherwise it must have room for the count.
int64_t utf8_replacing_surrogates(const RtChar *s, int64_t length, char *destination) {
  int64_t written = 0;
  for (int64_t i = 0; i < length; ++i) {
    uint32_t cp = s[i];
    if (is_high_surrogate(cp) && i + 1 < length && is_low_surrogate(s[i + 1])) {
      cp = (((cp & 0x3FF) << 10) | (s[i + 1] & 0x3FF)) + 0x10000;
      ++i;
    } else if (is_high_surrogate(cp) || is_low_surrogate(cp)) {
      cp = 0xFFFD;
    }
    int n = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    if (destination != nullptr) {
      char *out = destination + written;
      if (n == 1) {
        out[0] = static_cast<char>(cp);
      } else {
        // Lead byte, then continuation bytes from the highest six bits down.
        static const uint8_t kLead[5] = {0, 0, 0xC0, 0xE0, 0xF0};
        out[0] = static_cast<char>(kLead[n] | cp >> (6 * (n - 1)));
        for (int k = 1; k < n; ++k) out[k] = static_cast<char>(0x80 | (cp >> (6 * (n - 1 - k)) & 0x3F));
      }
    }
    written += n;
  }
  return written;
}

// Lines of UTF-8 text as the label lays them out: CR, LF, CR LF and U+2029
// each end one. Besides their number it keeps the longest few (by
// characters), which are the ones worth measuring for the text's width.
constexpr int kLongestKept = 32;

struct LineSpan {
  const char *start;
  int64_t bytes;
  int64_t chars;
};

struct LineSurvey {
  int64_t lines;
  int kept;
  LineSpan longest[kLongestKept];  // longest first
};

void keep_if_long(LineSurvey *survey, const LineSpan &line) {
  int at = survey->kept;
  while (at > 0 && survey->longest[at - 1].chars < line.chars) --at;
  if (at >= kLongestKept) return;
  int last = survey->kept < kLongestKept ? survey->kept : kLongestKept - 1;
  for (int i = last; i > at; --i) survey->longest[i] = survey->longest[i - 1];
  survey->longest[at] = line;
  if (survey->kept < kLongestKept) ++survey->kept;
}

void survey_lines(const char *text, LineSurvey *survey) {
  survey->lines = 0;
  survey->kept = 0;
  const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
  LineSpan line = {text, 0, 0};
  for (;;) {
    int separator = 0;
    if (*p == 0) {
      separator = -1;
    } else if (*p == '\r') {
      separator = p[1] == '\n' ? 2 : 1;
    } else if (*p == '\n') {
      separator = 1;
    } else if (p[0] == 0xE2 && p[1] == 0x80 && p[2] == 0xA9) {
      separator = 3;
    }
    if (separator == 0) {
      if ((*p & 0xC0) != 0x80) ++line.chars;
      ++p;
      continue;
    }
    line.bytes = reinterpret_cast<const char *>(p) - line.start;
    ++survey->lines;
    keep_if_long(survey, line);
    if (separator < 0) return;
    p += separator;
    line = {reinterpret_cast<const char *>(p), 0, 0};
  }
}

// The widget that shows the dialog's text: the padded label itself while it
// fits in the screen share. A label taller or wider than that would push the
// buttons off the screen, and past 32767 pixels it needs an X window that X
// cannot draw (the program dies with an X error); such text goes into a
// read-only text view that scrolls, in a scrolled window sized to the screen.
// The label then is not used.
GtkWidget *dialog_text_widget(GtkWidget *dialog, GtkWidget *label) {
  GdkScreen *screen = gtk_widget_get_screen(dialog);
  const int max_width = gdk_screen_get_width(screen) * kScreenShareNumerator / kScreenShareDenominator;
  const int max_height = gdk_screen_get_height(screen) * kScreenShareNumerator / kScreenShareDenominator;
  const char *text = gtk_label_get_text(GTK_LABEL(label));

  // Laying out a label of many thousand lines takes GTK seconds to minutes,
  // so the line count rules out a label far too tall before measuring one.
  // Half a font height per line is well below any real line height.
  PangoContext *context = gtk_widget_get_pango_context(label);
  PangoFontMetrics *metrics =
      pango_context_get_metrics(context, pango_context_get_font_description(context), nullptr);
  const int line_height = PANGO_PIXELS(pango_font_metrics_get_ascent(metrics) +
                                       pango_font_metrics_get_descent(metrics));
  pango_font_metrics_unref(metrics);
  LineSurvey survey;
  survey_lines(text, &survey);

  int64_t content_width = 0, content_height;
  if (survey.lines * line_height / 2 + 2 * kLabelPadding > max_height) {
    // Too tall for certain: the width is that of the widest of the longest
    // lines, the height a font height per line.
    PangoLayout *layout = pango_layout_new(context);
    for (int i = 0; i < survey.kept; ++i) {
      int width, height;
      pango_layout_set_text(layout, survey.longest[i].start, static_cast<int>(survey.longest[i].bytes));
      pango_layout_get_pixel_size(layout, &width, &height);
      if (width > content_width) content_width = width;
    }
    g_object_unref(layout);
    content_width += 2 * kLabelPadding;
    content_height = survey.lines * line_height + 2 * kLabelPadding;
  } else {
    GtkRequisition size;
    gtk_widget_size_request(label, &size);
    if (size.width <= max_width && size.height <= max_height) return label;
    content_width = size.width;
    content_height = size.height;
  }

  GtkWidget *view = gtk_text_view_new();
  gtk_text_view_set_editable(GTK_TEXT_VIEW(view), FALSE);
  gtk_text_view_set_cursor_visible(GTK_TEXT_VIEW(view), FALSE);
  gtk_text_view_set_left_margin(GTK_TEXT_VIEW(view), kLabelPadding);
  gtk_text_view_set_right_margin(GTK_TEXT_VIEW(view), kLabelPadding);
  gtk_text_buffer_set_text(gtk_text_view_get_buffer(GTK_TEXT_VIEW(view)), text, -1);
  GtkWidget *scroller = gtk_scrolled_window_new(nullptr, nullptr);
  gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroller), GTK_POLICY_AUTOMATIC,
                                 GTK_POLICY_AUTOMATIC);
  gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(scroller), GTK_SHADOW_IN);
  gtk_container_add(GTK_CONTAINER(scroller), view);

  // Room for the scroll bars and the frame, then no more than the screen share.
  GtkRequisition bar;
  gtk_widget_size_request(gtk_scrolled_window_get_vscrollbar(GTK_SCROLLED_WINDOW(scroller)), &bar);
  const int64_t frame = 2 * kLabelPadding;
  int64_t width = content_width + bar.width + frame;
  int64_t height = content_height + frame;
  if (width > max_width) {
    width = max_width;
    height += bar.width;  // a horizontal bar as thick as the vertical one
  }
  if (height > max_height) height = max_height;
  gtk_widget_set_size_request(scroller, static_cast<int>(width), static_cast<int>(height));

  // The unused label was never parented: sinking and dropping it frees it.
  g_object_ref_sink(label);
  g_object_unref(label);
  return scroller;
}

}  // namespace

void gui_init(void) {
  if (gui_initialised != 0) return;
  gtk_init(&program_state.argc, &program_state.argv);
  gui_initialised = 1;
}

void gui_end(void) {}

void dialog_init(void) {}

void on_dialog_button_clicked(void *button, void *code) {
  (void)button;
  dialog_state = 0;
  dialog_result = static_cast<NativeInt>(reinterpret_cast<intptr_t>(code));
}

void on_dialog_destroy(void *object, void *data) {
  (void)object;
  (void)data;
  dialog_state = -1;
}

NativeInt message_dialog(RtConstString title, RtConstString text, NativeInt flags) {
  GtkWidget *dialog = gtk_dialog_new();
  GtkWindow *window = GTK_WINDOW(dialog);

  char *utf8 = str_to_glib_utf8(text);
  GtkWidget *label = gtk_label_new(utf8);
  glib_string_free(utf8);
  utf8 = str_to_glib_utf8(title);
  gtk_window_set_title(window, utf8);
  glib_string_free(utf8);
  g_signal_connect(dialog, "destroy", G_CALLBACK(on_dialog_destroy), nullptr);

  GtkAccelGroup *accelerators = gtk_accel_group_new();
  const DialogVariant &variant = variant_for(flags);
  GtkWidget *first_button = nullptr;
  for (int i = 0; i < variant.count; ++i) {
    GtkWidget *button = gtk_button_new_from_stock(variant.buttons[i].stock_id);
    g_signal_connect(button, "clicked", G_CALLBACK(on_dialog_button_clicked),
                     reinterpret_cast<gpointer>(static_cast<intptr_t>(variant.buttons[i].code)));
    gtk_container_add(GTK_CONTAINER(gtk_dialog_get_action_area(GTK_DIALOG(dialog))), button);
    if (first_button == nullptr) first_button = button;
  }
  gtk_window_set_default_size(window, variant.width, variant.height);
  if (variant.focus_first) gtk_widget_grab_focus(first_button);
  gtk_window_add_accel_group(window, accelerators);

  gtk_misc_set_padding(GTK_MISC(label), kLabelPadding, kLabelPadding);
  gtk_container_add(GTK_CONTAINER(gtk_dialog_get_content_area(GTK_DIALOG(dialog))),
                    dialog_text_widget(dialog, label));
  gtk_window_set_position(window, GTK_WIN_POS_CENTER);

  gtk_widget_realize(dialog);
  GdkWindow *gdk_window = gtk_widget_get_window(dialog);
  gdk_window_set_decorations(gdk_window, static_cast<GdkWMDecoration>(GDK_DECOR_BORDER | GDK_DECOR_TITLE |
                                                                      GDK_DECOR_MENU | GDK_DECOR_MINIMIZE));
  gdk_window_set_functions(gdk_window, static_cast<GdkWMFunction>(GDK_FUNC_MOVE | GDK_FUNC_MINIMIZE));
  gtk_widget_show_all(dialog);

  dialog_state = 1;
  dialog_result = DIALOG_RESULT_NONE;
  while (dialog_state == 1) gtk_main_iteration();
  // A window destroyed from outside has already gone (state -1); destroying
  // it again would touch a freed widget.
  if (dialog_state == 0) gtk_widget_destroy(dialog);
  // The round trip makes the X server act on the destruction and send its
  // events before the queue is drained, so the window is off the screen and
  // nothing is left pending when this returns.
  gdk_display_sync(gdk_display_get_default());
  while (gtk_events_pending()) gtk_main_iteration_do(FALSE);
  g_object_unref(accelerators);
  return dialog_result;
}

NativeInt message_dialog_ok(RtConstString title, RtConstString text) {
  return message_dialog(title, text, 0);
}

char *str_to_glib_utf8(RtConstString s) {
  if (s == nullptr) return g_strdup("");
  // The terminator is converted too, so the count is never 0 here.
  const int64_t length = rt_strlen(s) + 1;
  const int64_t count = utf8_replacing_surrogates(s, length, nullptr);
  if (count == 0 || static_cast<uint64_t>(count) >= G_MAXSIZE) return g_strdup("");
  char *block = static_cast<char *>(g_try_malloc(static_cast<gsize>(count) + 1));
  if (block == nullptr) return g_strdup("");
  const int64_t written = utf8_replacing_surrogates(s, length, block);
  block[written] = 0;
  return block;
}

void glib_string_free(char *p) { g_free(p); }

char *glib_utf8_to_iso8859_15(const char *p) {
  if (p == nullptr) return g_strdup("");
  char *converted = g_convert(p, -1, "ISO-8859-15", "UTF-8", nullptr, nullptr, nullptr);
  return converted != nullptr ? converted : g_strdup(p);
}

char *glib_iso8859_15_to_utf8(const char *p) {
  if (p == nullptr) return g_strdup("");
  char *converted = g_convert(p, -1, "UTF-8", "ISO-8859-15", nullptr, nullptr, nullptr);
  return converted != nullptr ? converted : g_strdup(p);
}
