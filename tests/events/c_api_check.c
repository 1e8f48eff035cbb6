/* Compiled as C: the object-table and event-queue headers are plain C and
 * usable from it. */
#include "containers/objtab.h"
#include "events/events.h"

int events_c_api_check(void);

static int handled;
/* Tables live as long as the program, held by a global as programs hold them. */
static ObjectTable *table;
static void on_event(void) { handled += (int)event_current_item(); }

int events_c_api_check(void) {
  char key[EVENT_KEY_SIZE];
  NativeInt *record;
  int ok;
  objtab_create_once(&table, sizeof(NativeInt) * 2, 4, 0);
  ok = table != 0;
  record = ok ? (NativeInt *)objtab_obtain(table, 2) : 0;
  if (record != 0) {
    record[0] = 1;
    ok = objtab_get(table, 2) == record && objtab_check(table, 9) == 0;
    objtab_clear(table, 2);
  }
  events_init();
  ok = ok && event_bind(3, -1, -1, -1, on_event) == 1;
  event_post_simple(3, 5, 0, 0);
  ok = ok && handled == 5 && event_next() == 3 && event_format_key(key, 3, -1, -1, -1) == 10;
  events_end();
  return ok;
}
