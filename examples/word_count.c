/* Reads one line from standard input and says how many words it has (runs
 * of characters other than spaces and tabs):
 *
 *   $ echo "the quick  brown fox" | word_count
 *   4 words
 *
 * console_input decodes the line into the temporary buffer at the position
 * the program hands it; the program copies it into a variable of its own. */
#include <uchar.h>

#include "console/console.h"
#include "core/frame.h"
#include "core/rtstring.h"
#include "core/textconv.h"

static const char16_t kWords[] = u" words";
static const char16_t kWord[] = u" word";

static StringVar line;

static int is_blank(RtChar unit) { return unit == ' ' || unit == '\t' || unit == '\r'; }

static void body(void) {
  int32_t start = strbuf_position();
  console_input(start);
  strvar_assign_from_buffer(&line, start);

  int32_t words = 0;
  int in_word = 0;
  for (const RtChar *p = line; p != NULL && *p != 0; ++p) {
    if (is_blank(*p)) {
      in_word = 0;
    } else if (!in_word) {
      in_word = 1;
      ++words;
    }
  }

  char digits[12];
  format_decimal(words, digits);
  start = strbuf_position();
  host_utf8_to_strbuf(digits, start);
  strbuf_append(words == 1 ? kWord : kWords);
  console_print_line(strbuf_text_at(start));
  strbuf_set_position(start);
  strvar_assign(&line, NULL);
}

static void end_hooks(void) { console_end(); }

static const ModuleHook kInitialisers[] = {console_init};

int main(int argc, char **argv) {
  static const ProgramFrame frame = {NULL, 0, kInitialisers, 1, body, end_hooks};
  program_run(&frame, argc, argv);
}
