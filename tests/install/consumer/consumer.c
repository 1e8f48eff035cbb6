/* A program built against the installed runtime: a string through the
 * temporary buffer and out as UTF-8, a hash map, and an event dispatched to
 * a bound handler. Plain C, without the program frame. */
#include <stdio.h>
#include <uchar.h>

#include "containers/hashmap.h"
#include "core/rtstring.h"
#include "core/textconv.h"
#include "events/events.h"

static NativeInt handled_event;
static NativeInt handled_count;

static void on_event(void) {
  handled_event = event_current_event();
  ++handled_count;
}

int main(void) {
  strbuf_init();
  int32_t start = strbuf_position();
  strbuf_append(u"Gr");
  strbuf_append(u"\u00fc\u00dfe");
  StringVar text = NULL;
  strvar_assign_from_buffer(&text, start);
  HostString host = str_to_host_utf8(text);
  printf("text=%s %d units\n", host, (int)rt_strlen(text));
  host_string_free(host);

  HashMap *map = NULL;
  map_create(sizeof(NativeInt), NULL, &map, 16);
  *(NativeInt *)map_add_str(map, text, 0) = 3;
  printf("map=%d\n", (int)*(NativeInt *)map_find_str(map, u"Gr\u00fc\u00dfe"));
  map_destroy(map);

  events_init();
  event_bind(7, EVENT_ANY, EVENT_ANY, EVENT_ANY, on_event);
  event_post_simple(7, 1, 2, 3);
  printf("event=%d:%d\n", (int)handled_event, (int)handled_count);

  printf("bits=%d\n", KRT_POINTER_BITS);
  strvar_assign(&text, NULL);
  strbuf_release();
  return 0;
}
