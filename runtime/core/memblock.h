/* Memory blocks: thin routines over the C allocator, and SizedBlock, a heap
 * block whose payload is preceded by a NativeInt holding its length. Pools,
 * maps, object tables, program arguments and console input allocate here. */
#ifndef KRT_CORE_MEMBLOCK_H
#define KRT_CORE_MEMBLOCK_H

#include "core/rtconfig.h"

KRT_EXTERN_C_BEGIN

/* Bytes of the length header in front of a SizedBlock payload. */
#define BLOCK_HEADER_SIZE ((NativeInt)sizeof(NativeInt))

/* New block with every byte 0, or null. */
void *mem_alloc_zeroed(NativeInt size);
/* New block, contents undefined, or null. */
void *mem_alloc(NativeInt size);
/* realloc to new_size; the bytes from old_size up to new_size are zeroed when
 * it grows. Null on failure, the old block then stays valid. */
void *mem_realloc_zerofill(void *block, NativeInt old_size, NativeInt new_size);
/* free; null is ignored. */
void mem_free(void *block);

/* Handle (payload address) of a new SizedBlock with a zero payload, or null.
 * Lengths below 0, or too large for the header, give null. */
void *block_alloc(NativeInt length);
/* As block_alloc, payload undefined. */
void *block_alloc_raw(NativeInt length);
/* Resizes; grown payload bytes are zeroed. Null for a null handle (nothing is
 * allocated) or on failure, when the old handle stays valid. */
void *block_resize(void *handle, NativeInt length);
/* As block_resize, grown bytes undefined. */
void *block_resize_raw(void *handle, NativeInt length);
/* Frees the block; null is ignored. */
void block_free(void *handle);
/* Payload length recorded in the header of a non-null handle. */
static inline NativeInt block_length(const void *handle) {
  return ((const NativeInt *)handle)[-1];
}

KRT_EXTERN_C_END

#endif
