// consoledemo: asks for the user's name at a fixed screen position, greets the
// user, shows a banner and paints it in the combinations of the 16 console
// colours, screen after screen, with pauses; then the frame's end hook gives
// the terminal its start-up settings back and the program exits with 0.
#include <cstddef>

#include "console/console.h"
#include "core/frame.h"
#include "core/rtstring.h"

namespace {

// Runtime string constants from ASCII literals, terminator included.
template <size_t N>
struct RtText {
  RtChar units[N];
};
template <size_t N>
constexpr RtText<N> rt_text(const char (&ascii)[N]) {
  RtText<N> text{};
  for (size_t i = 0; i < N; ++i) text.units[i] = static_cast<unsigned char>(ascii[i]);
  return text;
}

constexpr auto kBanner = rt_text("Feel the Power of Kestrelon!");
constexpr auto kTitle = rt_text("Kestrelon - Console Example:");
constexpr auto kPrompt = rt_text("Please enter your name:   ");
constexpr auto kWelcome = rt_text("Welcome ");

// Program variables: static storage, zero until the body sets them.
StringVar banner_text;
StringVar user_name;
NativeInt pause_ms;
NativeInt colour_index;      // inner loops, 0 to 15
NativeInt background_index;  // outer loop, 1 to 15

// Console operations take the low 32 bits of the program's numbers.
inline int32_t low32(NativeInt value) { return static_cast<int32_t>(value); }

// The banner on rows 4 to 19 at column 24, one row per colour_index, in the
// colours chosen for that row.
void paint_banner_row() {
  console_locate(24, low32(colour_index + 4));
  console_print(banner_text);
}

void body() {
  strvar_assign(&banner_text, kBanner.units);
  pause_ms = 4000;
  console_open();
  console_set_title(kTitle.units);
  console_set_escapes(1);

  // The prompt; the cursor stays behind its three trailing spaces.
  console_locate(18, 12);
  console_print(kPrompt.units);
  int32_t start = strbuf_position();
  console_input(start);
  strvar_assign_from_buffer(&user_name, start);

  // Greeting and banner.
  console_clear();
  console_locate(24, 10);
  start = strbuf_position();
  strbuf_append(kWelcome.units);
  strbuf_append(user_name);
  console_print_line(strbuf_text_at(start));
  strbuf_set_position(start);
  console_locate(24, 12);
  console_print_line(banner_text);
  delay_ms(low32(pause_ms));

  // Black text on each background colour.
  console_clear();
  for (colour_index = 0; colour_index <= 15; ++colour_index) {
    console_colour(0, low32(colour_index));
    paint_banner_row();
  }
  delay_ms(low32(pause_ms));

  // Each text colour on black.
  console_colour(0, 0);
  console_clear();
  for (colour_index = 0; colour_index <= 15; ++colour_index) {
    console_colour(low32(colour_index), 0);
    paint_banner_row();
  }
  delay_ms(low32(pause_ms));

  // Every text colour on each background, the screen cleared in that
  // background first.
  for (background_index = 1; background_index <= 15; ++background_index) {
    console_colour(low32(background_index), low32(background_index));
    console_clear();
    for (colour_index = 0; colour_index <= 15; ++colour_index) {
      console_colour(low32(colour_index), low32(background_index));
      paint_banner_row();
    }
    delay_ms(low32(pause_ms / 10));
  }

  console_close();
}

void run_end_hooks() { console_end(); }

const ModuleHook kInitialisers[] = {console_init};

}  // namespace

int main(int argc, char **argv) {
  // The globals start from their static zero values, so the frame fills none.
  static const ProgramFrame frame = {nullptr, 0, kInitialisers, 1, body, run_end_hooks};
  program_run(&frame, argc, argv);
}
