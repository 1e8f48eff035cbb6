// A GTK module that end-to-end tests load into a GTK program through
// GTK_MODULES. When the program's first dialog has been drawn, it writes what
// the dialog shows to the file named by KRT_PROBE_REPORT, one item a line:
//   title <hex>             the window title (UTF-8, hex-encoded)
//   widget label|scrolled   what holds the text
//   text <hex>              the label's or the text view's text
//   button <stock id> <x> <y> <width> <height>   on the screen, left to right
//   focus <stock id>        the window's focus widget ("-" for none)
//   xid <n>                 the X window
//   drawn                   last line: the dialog is on the screen
// and, when KRT_PROBE_SCREENSHOT names a file, saves the window there as PNG.
// It changes nothing in the program.
#include <gdk/gdkx.h>
#include <gtk/gtk.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

GtkWidget *watched = nullptr;
bool reported = false;

std::string hex(const char *text) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p != 0; ++p) {
    out += kDigits[*p >> 4];
    out += kDigits[*p & 15];
  }
  return out;
}

std::string stock_of(GtkWidget *widget) {
  if (widget == nullptr) return "-";
  if (!GTK_IS_BUTTON(widget)) return G_OBJECT_TYPE_NAME(widget);
  const char *label = gtk_button_get_label(GTK_BUTTON(widget));
  return label != nullptr ? label : "";
}

void report(GtkWidget *dialog, FILE *out) {
  const char *title = gtk_window_get_title(GTK_WINDOW(dialog));
  fprintf(out, "title %s\n", hex(title != nullptr ? title : "").c_str());
  GList *children = gtk_container_get_children(GTK_CONTAINER(gtk_dialog_get_content_area(GTK_DIALOG(dialog))));
  for (GList *l = children; l != nullptr; l = l->next) {
    GtkWidget *child = GTK_WIDGET(l->data);
    if (GTK_IS_LABEL(child)) {
      fprintf(out, "widget label\ntext %s\n", hex(gtk_label_get_text(GTK_LABEL(child))).c_str());
    } else if (GTK_IS_SCROLLED_WINDOW(child) && GTK_IS_TEXT_VIEW(gtk_bin_get_child(GTK_BIN(child)))) {
      GtkTextBuffer *buffer = gtk_text_view_get_buffer(GTK_TEXT_VIEW(gtk_bin_get_child(GTK_BIN(child))));
      GtkTextIter start, end;
      gtk_text_buffer_get_bounds(buffer, &start, &end);
      char *text = gtk_text_buffer_get_text(buffer, &start, &end, FALSE);
      fprintf(out, "widget scrolled\ntext %s\n", hex(text).c_str());
      g_free(text);
    }
  }
  g_list_free(children);
  children = gtk_container_get_children(GTK_CONTAINER(gtk_dialog_get_action_area(GTK_DIALOG(dialog))));
  for (GList *l = children; l != nullptr; l = l->next) {
    GtkWidget *button = GTK_WIDGET(l->data);
    int x, y;
    gdk_window_get_origin(gtk_widget_get_window(button), &x, &y);
    GtkAllocation area;
    gtk_widget_get_allocation(button, &area);
    fprintf(out, "button %s %d %d %d %d\n", stock_of(button).c_str(), x + area.x, y + area.y, area.width,
            area.height);
  }
  g_list_free(children);
  fprintf(out, "focus %s\n", stock_of(gtk_window_get_focus(GTK_WINDOW(dialog))).c_str());
  fprintf(out, "xid %lu\n", static_cast<unsigned long>(GDK_WINDOW_XID(gtk_widget_get_window(dialog))));
}

void save_screenshot(GtkWidget *dialog, const char *path) {
  GdkWindow *window = gtk_widget_get_window(dialog);
  int width, height;
  gdk_drawable_get_size(window, &width, &height);
  GdkPixbuf *shot = gdk_pixbuf_get_from_drawable(nullptr, window, nullptr, 0, 0, 0, 0, width, height);
  if (shot == nullptr) return;
  gdk_pixbuf_save(shot, path, "png", nullptr, nullptr);
  g_object_unref(shot);
}

// Runs once the first expose has been painted: the double buffer is copied
// to the window only after the expose handlers return.
gboolean on_painted(gpointer) {
  if (watched == nullptr) return FALSE;
  gdk_display_sync(gdk_display_get_default());
  const char *shot = getenv("KRT_PROBE_SCREENSHOT");
  if (shot != nullptr && shot[0] != 0) save_screenshot(watched, shot);
  // Written aside and renamed, so a reader sees all of it or nothing.
  const char *path = getenv("KRT_PROBE_REPORT");
  if (path == nullptr || path[0] == 0) return FALSE;
  std::string aside = std::string(path) + ".part";
  if (FILE *out = fopen(aside.c_str(), "w")) {
    report(watched, out);
    fprintf(out, "drawn\n");
    fclose(out);
    rename(aside.c_str(), path);
  }
  return FALSE;
}

gboolean on_expose_after(GtkWidget *, GdkEventExpose *, gpointer) {
  if (!reported) {
    reported = true;
    g_idle_add_full(G_PRIORITY_LOW, on_painted, nullptr, nullptr);
  }
  return FALSE;
}

void on_destroyed(GtkWidget *, gpointer) { watched = nullptr; }

gboolean on_map(GSignalInvocationHint *, guint, const GValue *values, gpointer) {
  GObject *object = G_OBJECT(g_value_get_object(&values[0]));
  if (watched == nullptr && !reported && GTK_IS_DIALOG(object)) {
    watched = GTK_WIDGET(object);
    g_signal_connect_after(object, "expose-event", G_CALLBACK(on_expose_after), nullptr);
    g_signal_connect(object, "destroy", G_CALLBACK(on_destroyed), nullptr);
  }
  return TRUE;
}

}  // namespace

extern "C" G_MODULE_EXPORT void gtk_module_init(gint *, gchar ***) {
  g_type_class_ref(GTK_TYPE_WIDGET);
  g_signal_add_emission_hook(g_signal_lookup("map", GTK_TYPE_WIDGET), 0, on_map, nullptr, nullptr);
}
