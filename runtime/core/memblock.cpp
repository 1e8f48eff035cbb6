// Memory blocks over the C allocator.
#include "core/memblock.h"

#include <cstdlib>
#include <cstring>

namespace {

// A block start from a payload handle, and the other way round.
inline char *block_start(void *handle) { return static_cast<char *>(handle) - BLOCK_HEADER_SIZE; }

inline void *finish_block(void *start, NativeInt length) {
  if (start == nullptr) return nullptr;
  *static_cast<NativeInt *>(start) = length;
  return static_cast<char *>(start) + BLOCK_HEADER_SIZE;
}

// Lengths whose block size would not fit a NativeInt cannot be had.
inline bool length_fits(NativeInt length) {
  return length >= 0 && length <= NATIVEINT_MAX - BLOCK_HEADER_SIZE;
}

}  // namespace

void *mem_alloc_zeroed(NativeInt size) {
  void *block = malloc(static_cast<size_t>(size));
  if (block != nullptr) memset(block, 0, static_cast<size_t>(size));
  return block;
}

void *mem_alloc(NativeInt size) { return malloc(static_cast<size_t>(size)); }

void *mem_realloc_zerofill(void *block, NativeInt old_size, NativeInt new_size) {
  char *grown = static_cast<char *>(realloc(block, static_cast<size_t>(new_size)));
  if (grown != nullptr && new_size > old_size) {
    NativeInt from = old_size < 0 ? 0 : old_size;
    memset(grown + from, 0, static_cast<size_t>(new_size - from));
  }
  return grown;
}

void mem_free(void *block) {
  if (block != nullptr) free(block);
}

void *block_alloc(NativeInt length) {
  if (!length_fits(length)) return nullptr;
  return finish_block(mem_alloc_zeroed(length + BLOCK_HEADER_SIZE), length);
}

void *block_alloc_raw(NativeInt length) {
  if (!length_fits(length)) return nullptr;
  return finish_block(malloc(static_cast<size_t>(length + BLOCK_HEADER_SIZE)), length);
}

void *block_resize(void *handle, NativeInt length) {
  if (handle == nullptr || !length_fits(length)) return nullptr;
  NativeInt old_length = block_length(handle);
  return finish_block(mem_realloc_zerofill(block_start(handle), old_length + BLOCK_HEADER_SIZE,
                                           length + BLOCK_HEADER_SIZE),
                      length);
}

void *block_resize_raw(void *handle, NativeInt length) {
  if (handle == nullptr || !length_fits(length)) return nullptr;
  return finish_block(realloc(block_start(handle), static_cast<size_t>(length + BLOCK_HEADER_SIZE)),
                      length);
}

void block_free(void *handle) {
  if (handle != nullptr) free(block_start(handle));
}
