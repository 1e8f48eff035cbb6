/* Built against the installed GUI library: text handed to GLib as UTF-8 and
 * converted to ISO-8859-15 there (no display needed). */
#include <stdio.h>
#include <string.h>
#include <uchar.h>

#include "gui/gui.h"

int main(void) {
  char *utf8 = str_to_glib_utf8(u"Gr\u00fc\u00dfe");
  char *latin9 = glib_utf8_to_iso8859_15(utf8);
  printf("glib=%s latin9=%d bytes\n", utf8, (int)strlen(latin9));
  glib_string_free(latin9);
  glib_string_free(utf8);
  return 0;
}
