/* Structure layouts: a word list describing where a structure keeps strings,
 * nested structures and dynamic elements (maps, lists, arrays), so that any
 * structure can be initialised, cleared and deep-copied generically. Hash maps
 * run these on their values; program bodies on their own structures. The only
 * state is dynamic_element_ops, the table through which dynamic elements are
 * created, copied and destroyed, filled by the container modules at start-up. */
#ifndef KRT_CONTAINERS_LAYOUT_H
#define KRT_CONTAINERS_LAYOUT_H

#include "core/rtconfig.h"

KRT_EXTERN_C_BEGIN

/* A layout is an array of words (pointer-sized, so that a word can hold the
 * address of a nested layout), read as entries and ended by LAYOUT_END.
 * Entries lie in ascending order of offset and their fields do not overlap.
 * Offsets and sizes are in bytes from the start of the structure; one "word"
 * of field width is sizeof(NativeInt).
 *
 *   n >= 0                 string field (a StringVar) at offset n     1 word
 *   LAYOUT_END             end                                        -
 *   LAYOUT_STRUCT_ARRAY    count, offset, stride, nested layout       count*stride bytes
 *   LAYOUT_STRUCT          offset, size, nested layout                size bytes
 *   LAYOUT_ARRAY           offset, a, b, c, d                         1 word (data pointer)
 *   LAYOUT_LIST            offset, element size, element layout, option   2 words (list first)
 *   LAYOUT_MAP             offset, value size, value layout, bucket count 1 word (HashMap *)
 *   LAYOUT_ARRAY_INLINE    offset, n, a, b, c, then n inline words    1 + n words
 *
 * Nested layouts are never null; element and value layouts are null when the
 * elements hold no strings and no dynamic elements. a, b, c, d, n, the option
 * and the inline words are passed through to the list and array modules. */
typedef NativeInt StructLayout;

#define LAYOUT_END (-1)
#define LAYOUT_STRUCT_ARRAY (-2)
#define LAYOUT_STRUCT (-3)
#define LAYOUT_ARRAY (-4)
#define LAYOUT_LIST (-5)
#define LAYOUT_MAP (-6)
#define LAYOUT_ARRAY_INLINE (-7)

/* A layout word holding the address of another layout. */
#define LAYOUT_REF(layout) ((NativeInt)(const StructLayout *)(layout))

struct HashMap;

/* Operations on dynamic elements, all null until a container module registers
 * its own (maps: map_register_ops). An owner slot is the address of the field
 * that holds the element: a create operation stores the new, empty element
 * there; a destroy operation accepts null (doing nothing), releases the
 * element with everything it owns and stores null there; a copy operation
 * called with 0 adds copies of all the source's entries to a freshly created
 * target. The layout routines call a slot only when a layout needs it and do
 * not test it for null. */
typedef struct DynamicElementOps {
  void (*destroy_map)(struct HashMap *map);
  void (*destroy_list)(void *list);
  void (*destroy_array)(void *data); /* both array kinds */
  int (*copy_map)(struct HashMap *source, struct HashMap *target, int clear_first);
  int (*copy_list)(void *source, void *target, int clear_first);
  int (*copy_array)(void *source, void *target, int clear_first); /* both array kinds */
  struct HashMap *(*create_map)(NativeInt value_size, const StructLayout *value_layout,
                                struct HashMap **owner_slot, NativeInt bucket_count);
  void (*create_list)(NativeInt element_size, void **owner_slot, const StructLayout *element_layout,
                      NativeInt option);
  void (*create_array_inline)(NativeInt n, NativeInt a, NativeInt b, NativeInt c, void **owner_slot);
  void *(*create_array)(NativeInt a, NativeInt b, NativeInt c, NativeInt d, void **owner_slot); /* data */
} DynamicElementOps;

extern DynamicElementOps dynamic_element_ops;

/* What a copy reads from an existing list: a list module's record starts with
 * these three words. */
typedef struct LayoutListHeader {
  NativeInt node_size; /* element size plus two words */
  const StructLayout *element_layout;
  NativeInt option;
} LayoutListHeader;

/* What a copy reads from an existing array: the words just before its data
 * pointer, which the array modules keep there. */
#define LAYOUT_ARRAY_WORD_A 5      /* data[-5] holds a */
#define LAYOUT_ARRAY_WORD_D 4      /* data[-4] holds d */
#define LAYOUT_ARRAY_WORD_B 2      /* data[-2] holds b */
#define LAYOUT_ARRAY_WORD_C 1      /* data[-1] holds c */
#define LAYOUT_ARRAY_WORD_INLINE 6 /* data[-6]: carried over by a copy of the inline kind */

/* 1 when the layout, nested layouts included, has a dynamic element (array,
 * list, map or inline array), else 0; null gives 0. Strings do not count. */
int layout_has_dynamic(const StructLayout *layout);

/* Creates every dynamic element of the zero-filled structure at `base`;
 * inline arrays first get their inline words written into the field. */
void layout_init(void *base, const StructLayout *layout);

/* Frees every string (the field keeps its stale pointer) and destroys every
 * dynamic element of the structure at `base`. The caller zero-fills or
 * releases the structure right after. */
void layout_clear(void *base, const StructLayout *layout);

/* Makes the `size` bytes at `target` a deep copy of those at `source`: plain
 * bytes are copied once, strings copied anew (the target's old strings
 * freed), dynamic elements destroyed and recreated with the source's creation
 * parameters and its entries. The inline words of an inline array keep the
 * target's values. A null layout copies the bytes; the same address for both
 * does nothing. */
void layout_copy(void *target, NativeInt size, const StructLayout *layout, const void *source);

KRT_EXTERN_C_END

#endif
