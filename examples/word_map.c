/* Counts how often each word of a line from standard input occurs, in a hash
 * map from words to counts, and prints one "word count" line per word (in the
 * map's order: by bucket, newest first within one):
 *
 *   $ echo "to be or not to be" | word_map
 *   ...
 *   to 2
 *   be 2
 *
 * The map keeps its own copy of every key; the value of an entry is one
 * NativeInt. map_destroy gives everything back and clears the variable. */
#include <uchar.h>

#include "console/console.h"
#include "containers/hashmap.h"
#include "core/frame.h"
#include "core/rtstring.h"
#include "core/textconv.h"

static const char16_t kSpace[] = u" ";

static StringVar line;
static HashMap *counts;

static int is_blank(RtChar unit) { return unit == ' ' || unit == '\t' || unit == '\r'; }

/* Adds one to the count of the word that starts at `word`. map_put_str would
 * reset an existing value, so look first and add only a missing key. */
static void count_word(RtConstString word) {
  NativeInt *count = (NativeInt *)map_find_str(counts, word);
  if (count == NULL) count = (NativeInt *)map_add_str(counts, word, 0);
  if (count == NULL) rt_out_of_memory("word_map: map entry");
  ++*count;
}

static void body(void) {
  int32_t start = strbuf_position();
  console_input(start);
  strvar_assign_from_buffer(&line, start);

  if (map_create(sizeof(NativeInt), NULL, &counts, 64) == NULL)
    rt_out_of_memory("word_map: map");

  /* The line is this program's own copy: each word is cut off in place with
   * a terminator for the lookup, then the unit is put back. */
  RtChar *p = line;
  while (p != NULL && *p != 0) {
    while (is_blank(*p)) ++p;
    if (*p == 0) break;
    RtChar *end = p;
    while (*end != 0 && !is_blank(*end)) ++end;
    RtChar saved = *end;
    *end = 0;
    count_word(p);
    *end = saved;
    p = end;
  }

  map_reset(counts);
  for (NativeInt *count = map_next(counts); count != NULL; count = map_next(counts)) {
    char digits[12];
    format_decimal((int32_t)*count, digits);
    start = strbuf_position();
    strbuf_append((RtConstString)map_value_key(count)); /* the key's copy */
    strbuf_append(kSpace);
    host_utf8_to_strbuf(digits, strbuf_position());
    console_print_line(strbuf_text_at(start));
    strbuf_set_position(start);
  }

  map_destroy(counts); /* counts is null again */
  strvar_assign(&line, NULL);
}

static void end_hooks(void) { console_end(); }

static const ModuleHook kInitialisers[] = {console_init};

int main(int argc, char **argv) {
  static const ProgramFrame frame = {NULL, 0, kInitialisers, 1, body, end_hooks};
  program_run(&frame, argc, argv);
}
