// Program arguments over ProgramState's argc and argv.
#include "gui/args.h"

#include "core/frame.h"
#include "core/memblock.h"
#include "core/textconv.h"

namespace {

// Handle of the cursor's slot; set once by args_init, never freed.
void *args_slot = nullptr;

ArgumentCursor *cursor() { return static_cast<ArgumentCursor *>(state_slot_get(args_slot)); }

// Converts UTF-8 text (null: the empty string) into the buffer at start.
void write_text(const char *text, NativeInt start) {
  host_utf8_to_strbuf(text, static_cast<int32_t>(start));
}

}  // namespace

void *state_slot_alloc(NativeInt size, StateSlotInitialiser initialiser) {
  void *block = block_alloc(size);
  if (block != nullptr && initialiser != nullptr) initialiser(block);
  return block;
}

void *state_slot_get(void *slot) { return slot; }

void args_init(void) {
  args_slot = state_slot_alloc(sizeof(ArgumentCursor), nullptr);
  // Every later call reads the cursor through the slot; without it the module
  // cannot work at all.
  if (args_slot == nullptr) rt_out_of_memory("the program arguments cursor");
}

NativeInt args_count(void) { return static_cast<NativeInt>(program_state.argc) - 1; }

void args_next(NativeInt start) {
  // The cursor grows on every call; it stops at the largest value instead of
  // wrapping round to the front of the vector.
  NativeInt index = cursor()->index;
  if (index < NATIVEINT_MAX) ++index;
  cursor()->index = index;
  write_text(index < program_state.argc ? program_state.argv[index] : nullptr, start);
}

void args_by_index(NativeInt n, NativeInt start) {
  if (n < 0 || n >= static_cast<NativeInt>(program_state.argc) - 1) {
    write_text(nullptr, start);
    return;
  }
  cursor()->index = n + 1;
  write_text(program_state.argv[n + 1], start);
}
