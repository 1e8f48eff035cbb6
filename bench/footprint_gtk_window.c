/* The smallest GTK 2 program to compare argreport's start with: initialise
 * GTK, map one top-level window, run the main loop (footprint_map_probe ends
 * the process once the window is mapped). */
#include <gtk/gtk.h>

int main(int argc, char **argv) {
  gtk_init(&argc, &argv);
  GtkWidget *window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(window), "Footprint");
  g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), NULL);
  gtk_widget_show(window);
  gtk_main();
  return 0;
}
