/* Builds one line from pieces in the temporary string buffer, keeps it in a
 * string variable and prints it:
 *
 *   $ string_pieces Ada
 *   Hello, Ada! Your name has 3 letters.
 *
 * Every string expression follows the same steps: remember the buffer
 * position, append the pieces, then take the result and put the position
 * back (strvar_assign_from_buffer does both). */
#include <uchar.h>

#include "console/console.h"
#include "core/frame.h"
#include "core/rtstring.h"
#include "core/textconv.h"
#include "gui/args.h"

static const char16_t kHello[] = u"Hello, ";
static const char16_t kStranger[] = u"stranger";
static const char16_t kMiddle[] = u"! Your name has ";
static const char16_t kLetters[] = u" letters.";

static StringVar name;
static StringVar line;

static void body(void) {
  /* name = first argument, or "stranger". The argument arrives as UTF-8 and
   * is decoded into the buffer at `start`. */
  int32_t start = strbuf_position();
  if (args_count() > 0)
    args_by_index(0, start);
  else
    strbuf_append(kStranger);
  strvar_assign_from_buffer(&name, start);

  /* The count as decimal text, decoded into the buffer like any 8-bit text. */
  char digits[12];
  format_decimal((int32_t)rt_strlen(name), digits);

  /* line = "Hello, " + name + "! Your name has " + digits + " letters." */
  start = strbuf_position();
  strbuf_append(kHello);
  strbuf_append(name);
  strbuf_append(kMiddle);
  host_utf8_to_strbuf(digits, strbuf_position());
  strbuf_append(kLetters);
  strvar_assign_from_buffer(&line, start);

  console_print_line(line);
  strvar_assign(&line, NULL); /* frees the copy */
  strvar_assign(&name, NULL);
}

static void end_hooks(void) { console_end(); }

static const ModuleHook kInitialisers[] = {console_init, args_init};

int main(int argc, char **argv) {
  static const ProgramFrame frame = {NULL, 0, kInitialisers, 2, body, end_hooks};
  program_run(&frame, argc, argv);
}
