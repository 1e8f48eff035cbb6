#include "dialog_session.h"

#include <gdk/gdkx.h>

#include "core/frame.h"
#include "core/rtstring.h"
#include "xserver.h"

namespace {

int init_calls = 0;
int destroy_calls = 0;
std::vector<std::string> *focus_grabs = nullptr;

std::string stock_of(GtkWidget *widget) {
  if (widget == nullptr) return "";
  if (!GTK_IS_BUTTON(widget)) return G_OBJECT_TYPE_NAME(widget);
  const char *label = gtk_button_get_label(GTK_BUTTON(widget));
  return label != nullptr ? label : "";
}

}  // namespace

// The linker sends the program's calls of these through here (--wrap); each
// is counted and then made for real.
extern "C" {
void __real_gtk_init(int *argc, char ***argv);
void __wrap_gtk_init(int *argc, char ***argv) {
  ++init_calls;
  __real_gtk_init(argc, argv);
}
void __real_gtk_widget_destroy(GtkWidget *widget);
void __wrap_gtk_widget_destroy(GtkWidget *widget) {
  ++destroy_calls;
  __real_gtk_widget_destroy(widget);
}
void __real_gtk_widget_grab_focus(GtkWidget *widget);
void __wrap_gtk_widget_grab_focus(GtkWidget *widget) {
  if (focus_grabs != nullptr) focus_grabs->push_back(stock_of(widget));
  __real_gtk_widget_grab_focus(widget);
}
}

int gtk_init_calls() { return init_calls; }

bool gui_ready(std::string *why) {
  if (test_display(why).empty()) return false;
  if (gui_initialised == 0) {
    static char name[] = "gui_test";
    static char *argv[] = {name, nullptr};
    program_state.argc = 1;
    program_state.argv = argv;
    gui_init();
  }
  return true;
}

namespace {

struct Running {
  DialogSession *session;
  GtkWidget *dialog = nullptr;
  bool exposed = false;
  bool answered = false;
};

GtkWidget *open_dialog() {
  GtkWidget *found = nullptr;
  GList *windows = gtk_window_list_toplevels();
  for (GList *l = windows; l != nullptr; l = l->next)
    if (GTK_IS_DIALOG(l->data)) found = GTK_WIDGET(l->data);
  g_list_free(windows);
  return found;
}

gboolean on_expose_after(GtkWidget *, GdkEventExpose *, gpointer data) {
  static_cast<Running *>(data)->exposed = true;
  return FALSE;
}

// Every dialog that maps gets an expose watcher before its first expose.
gboolean on_map(GSignalInvocationHint *, guint, const GValue *values, gpointer data) {
  GObject *object = G_OBJECT(g_value_get_object(&values[0]));
  Running *run = static_cast<Running *>(data);
  if (GTK_IS_DIALOG(object) && run->dialog == nullptr) {
    run->dialog = GTK_WIDGET(object);
    g_signal_connect_after(object, "expose-event", G_CALLBACK(on_expose_after), run);
  }
  return TRUE;
}

void on_accelerators_finalised(gpointer data, GObject *) {
  static_cast<DialogSession *>(data)->accelerators_released = true;
}

std::vector<GtkWidget *> children_of(GtkWidget *container) {
  std::vector<GtkWidget *> widgets;
  GList *children = gtk_container_get_children(GTK_CONTAINER(container));
  for (GList *l = children; l != nullptr; l = l->next) widgets.push_back(GTK_WIDGET(l->data));
  g_list_free(children);
  return widgets;
}

void inspect(GtkWidget *dialog, DialogSession *session) {
  DialogView &v = session->view;
  GtkWindow *window = GTK_WINDOW(dialog);
  v.seen = true;
  v.state = dialog_state;
  v.result = dialog_result;
  v.buffer_position = strbuf_position();
  const char *title = gtk_window_get_title(window);
  v.title = title != nullptr ? title : "(null)";
  v.xid = GDK_WINDOW_XID(gtk_widget_get_window(dialog));

  for (GtkWidget *child : children_of(gtk_dialog_get_content_area(GTK_DIALOG(dialog)))) {
    if (GTK_IS_LABEL(child)) {
      v.label = true;
      v.text = gtk_label_get_text(GTK_LABEL(child));
      v.label_lines = pango_layout_get_line_count(gtk_label_get_layout(GTK_LABEL(child)));
      gtk_misc_get_padding(GTK_MISC(child), &v.xpad, &v.ypad);
      v.markup = gtk_label_get_use_markup(GTK_LABEL(child));
    } else if (GTK_IS_SCROLLED_WINDOW(child)) {
      v.scrolled = true;
      GtkWidget *view = gtk_bin_get_child(GTK_BIN(child));
      if (GTK_IS_TEXT_VIEW(view)) {
        GtkTextBuffer *buffer = gtk_text_view_get_buffer(GTK_TEXT_VIEW(view));
        GtkTextIter start, end;
        gtk_text_buffer_get_bounds(buffer, &start, &end);
        char *text = gtk_text_buffer_get_text(buffer, &start, &end, FALSE);
        v.text = text;
        g_free(text);
      }
    }
  }
  for (GtkWidget *button : children_of(gtk_dialog_get_action_area(GTK_DIALOG(dialog)))) {
    v.buttons.push_back(stock_of(button));
    if (!GTK_IS_BUTTON(button) || !gtk_button_get_use_stock(GTK_BUTTON(button))) v.buttons_use_stock = false;
  }
  gtk_window_get_default_size(window, &v.default_width, &v.default_height);
  v.focus = stock_of(gtk_window_get_focus(window));
  GSList *groups = gtk_accel_groups_from_object(G_OBJECT(dialog));
  v.accel_groups = static_cast<int>(g_slist_length(groups));
  if (v.accel_groups == 1) g_object_weak_ref(G_OBJECT(groups->data), on_accelerators_finalised, session);
  g_object_get(dialog, "window-position", &v.position, nullptr);
  v.modal = gtk_window_get_modal(window);
  v.transient = gtk_window_get_transient_for(window) != nullptr;

  // The window as the server and the window manager see it.
  WindowGeometry geometry;
  if (window_geometry(v.xid, &geometry)) {
    v.x = geometry.x;
    v.y = geometry.y;
    v.width = geometry.width;
    v.height = geometry.height;
    v.viewable = geometry.viewable;
  }
  v.server_title = window_property(v.xid, "_NET_WM_NAME");
  v.motif_hints = window_property(v.xid, "_MOTIF_WM_HINTS");
}

void save_screenshot(GtkWidget *dialog, const std::string &path) {
  GdkWindow *window = gtk_widget_get_window(dialog);
  int width, height;
  gdk_drawable_get_size(window, &width, &height);
  GdkPixbuf *shot = gdk_pixbuf_get_from_drawable(nullptr, window, nullptr, 0, 0, 0, 0, width, height);
  if (shot == nullptr) return;
  gdk_pixbuf_save(shot, path.c_str(), "png", nullptr, nullptr);
  g_object_unref(shot);
}

void answer(GtkWidget *dialog, DialogSession *session) {
  DialogView &v = session->view;
  switch (session->answer) {
    case Answer::kClick: {
      std::vector<GtkWidget *> buttons = children_of(gtk_dialog_get_action_area(GTK_DIALOG(dialog)));
      if (session->button >= static_cast<int>(buttons.size())) return;
      GtkWidget *button = buttons[session->button];
      int x, y;
      gdk_window_get_origin(gtk_widget_get_window(button), &x, &y);
      GtkAllocation area;
      gtk_widget_get_allocation(button, &area);
      v.button_x = x + area.x + area.width / 2;
      v.button_y = y + area.y + area.height / 2;
      click_at(v.button_x, v.button_y);
      break;
    }
    case Answer::kDestroyFromOutside:
      destroy_window_from_outside(v.xid);
      break;
    case Answer::kCloseRequest:
      request_window_close(v.xid);
      break;
  }
}

gboolean on_tick(gpointer data) {
  Running *run = static_cast<Running *>(data);
  GtkWidget *dialog = open_dialog();
  if (dialog == nullptr || dialog != run->dialog || !run->exposed) return TRUE;
  // Everything GTK drew has reached the server before it is looked at.
  gdk_window_process_all_updates();
  gdk_display_sync(gdk_display_get_default());
  inspect(dialog, run->session);
  if (!run->session->screenshot.empty()) save_screenshot(dialog, run->session->screenshot);
  answer(dialog, run->session);
  run->answered = true;
  return FALSE;
}

// A dialog nobody could answer is ended here, so that the test fails
// instead of hanging.
gboolean on_watchdog(gpointer data) {
  Running *run = static_cast<Running *>(data);
  run->session->timed_out = true;
  if (GtkWidget *dialog = open_dialog()) gtk_widget_destroy(dialog);
  return TRUE;
}

}  // namespace

void answer_dialog_during(DialogSession *session, void (*call)(void *), void *data) {
  Running run{session};
  // Signals of a class exist once the class is initialised.
  static gpointer widget_class = g_type_class_ref(GTK_TYPE_WIDGET);
  (void)widget_class;
  destroy_calls = 0;
  focus_grabs = &session->focus_grabs;
  gulong map_hook =
      g_signal_add_emission_hook(g_signal_lookup("map", GTK_TYPE_WIDGET), 0, on_map, &run, nullptr);
  // A window destroyed by another client while the pointer rests on it can
  // make GTK's tooltip timer query the dead window, an X error that ends the
  // process inside GTK; the pointer waits in a corner for those sessions.
  if (session->answer == Answer::kDestroyFromOutside) park_pointer();
  guint tick = g_timeout_add(20, on_tick, &run);
  guint watchdog = g_timeout_add_seconds(static_cast<guint>(scaled_timeout(60)), on_watchdog, &run);

  call(data);

  session->module_destroys = destroy_calls;
  focus_grabs = nullptr;
  session->events_pending_after = gtk_events_pending();
  session->dialog_toplevel_left = open_dialog() != nullptr;
  session->window_left_on_server = session->view.xid != 0 && window_exists(session->view.xid);
  if (!run.answered) g_source_remove(tick);
  g_source_remove(watchdog);
  g_signal_remove_emission_hook(g_signal_lookup("map", GTK_TYPE_WIDGET), map_hook);
}

void run_dialog(DialogSession *session, RtConstString title, RtConstString text, NativeInt flags) {
  struct Call {
    DialogSession *session;
    RtConstString title, text;
    NativeInt flags;
  } c = {session, title, text, flags};
  answer_dialog_during(
      session,
      [](void *data) {
        Call *c = static_cast<Call *>(data);
        c->session->returned = message_dialog(c->title, c->text, c->flags);
      },
      &c);
}
