// Generic initialisation, clearing and deep copy of structures by layout.
#include "containers/layout.h"

#include <cstring>

#include "containers/hashmap.h"
#include "core/memblock.h"
#include "core/rtstring.h"

DynamicElementOps dynamic_element_ops = {};

namespace {

constexpr NativeInt kWord = static_cast<NativeInt>(sizeof(NativeInt));

inline char *at(void *base, NativeInt offset) { return static_cast<char *>(base) + offset; }
inline const char *at(const void *base, NativeInt offset) { return static_cast<const char *>(base) + offset; }

inline void **slot_at(void *base, NativeInt offset) { return reinterpret_cast<void **>(at(base, offset)); }
inline void *word_ptr(const void *base, NativeInt offset) {
  return *reinterpret_cast<void *const *>(at(base, offset));
}

inline const StructLayout *nested(NativeInt word) { return reinterpret_cast<const StructLayout *>(word); }

// Words one entry takes, for the codes that do not recurse.
inline NativeInt entry_words(const StructLayout *entry) {
  switch (entry[0]) {
    case LAYOUT_STRUCT_ARRAY: return 5;
    case LAYOUT_STRUCT: return 4;
    case LAYOUT_ARRAY: return 6;
    case LAYOUT_LIST: return 5;
    case LAYOUT_MAP: return 5;
    case LAYOUT_ARRAY_INLINE: return 6 + entry[2];
    default: return 1;  // a string field
  }
}

// A word stored `back` words before an array's data.
inline NativeInt array_word(const void *data, int back) { return static_cast<const NativeInt *>(data)[-back]; }

void copy_bytes(void *target, const void *source, NativeInt from, NativeInt to) {
  if (to > from) memcpy(at(target, from), at(source, from), static_cast<size_t>(to - from));
}

// Recreates the array in the target field from the source array's creation
// words and copies its entries; returns the new data pointer (or null).
void *copy_array_field(void **target_field, void *source_data) {
  if (*target_field != nullptr) dynamic_element_ops.destroy_array(*target_field);
  if (source_data == nullptr) return nullptr;
  void *data = dynamic_element_ops.create_array(
      array_word(source_data, LAYOUT_ARRAY_WORD_A), array_word(source_data, LAYOUT_ARRAY_WORD_B),
      array_word(source_data, LAYOUT_ARRAY_WORD_C), array_word(source_data, LAYOUT_ARRAY_WORD_D), target_field);
  dynamic_element_ops.copy_array(source_data, data, 0);
  return data;
}

}  // namespace

int layout_has_dynamic(const StructLayout *layout) {
  if (layout == nullptr) return 0;
  for (const StructLayout *entry = layout; entry[0] != LAYOUT_END;) {
    switch (entry[0]) {
      case LAYOUT_ARRAY:
      case LAYOUT_LIST:
      case LAYOUT_MAP:
      case LAYOUT_ARRAY_INLINE:
        return 1;
      case LAYOUT_STRUCT:
        if (layout_has_dynamic(nested(entry[3]))) return 1;
        break;
      case LAYOUT_STRUCT_ARRAY:
        if (layout_has_dynamic(nested(entry[4]))) return 1;
        break;
      default:
        break;
    }
    entry += entry_words(entry);
  }
  return 0;
}

void layout_init(void *base, const StructLayout *layout) {
  for (const StructLayout *entry = layout; entry[0] != LAYOUT_END; entry += entry_words(entry)) {
    switch (entry[0]) {
      case LAYOUT_STRUCT_ARRAY:
        for (NativeInt i = 0; i < entry[1]; ++i) layout_init(at(base, entry[2] + i * entry[3]), nested(entry[4]));
        break;
      case LAYOUT_STRUCT:
        layout_init(at(base, entry[1]), nested(entry[3]));
        break;
      case LAYOUT_ARRAY:
        dynamic_element_ops.create_array(entry[2], entry[3], entry[4], entry[5], slot_at(base, entry[1]));
        break;
      case LAYOUT_LIST:
        dynamic_element_ops.create_list(entry[2], slot_at(base, entry[1]), nested(entry[3]), entry[4]);
        break;
      case LAYOUT_MAP:
        dynamic_element_ops.create_map(entry[2], nested(entry[3]),
                                       reinterpret_cast<HashMap **>(slot_at(base, entry[1])), entry[4]);
        break;
      case LAYOUT_ARRAY_INLINE: {
        NativeInt n = entry[2];
        if (n > 0) memcpy(at(base, entry[1] + kWord), entry + 6, static_cast<size_t>(n * kWord));
        dynamic_element_ops.create_array_inline(n, entry[3], entry[4], entry[5], slot_at(base, entry[1]));
        break;
      }
      default:
        break;  // a string field starts as null, the empty string
    }
  }
}

void layout_clear(void *base, const StructLayout *layout) {
  for (const StructLayout *entry = layout; entry[0] != LAYOUT_END; entry += entry_words(entry)) {
    switch (entry[0]) {
      case LAYOUT_STRUCT_ARRAY:
        for (NativeInt i = 0; i < entry[1]; ++i) layout_clear(at(base, entry[2] + i * entry[3]), nested(entry[4]));
        break;
      case LAYOUT_STRUCT:
        layout_clear(at(base, entry[1]), nested(entry[3]));
        break;
      case LAYOUT_ARRAY:
      case LAYOUT_ARRAY_INLINE:
        dynamic_element_ops.destroy_array(word_ptr(base, entry[1]));
        break;
      case LAYOUT_LIST:
        dynamic_element_ops.destroy_list(word_ptr(base, entry[1]));
        break;
      case LAYOUT_MAP:
        dynamic_element_ops.destroy_map(static_cast<HashMap *>(word_ptr(base, entry[1])));
        break;
      default:
        mem_free(word_ptr(base, entry[0]));
        break;
    }
  }
}

void layout_copy(void *target, NativeInt size, const StructLayout *layout, const void *source) {
  if (target == source) return;
  if (layout == nullptr) {
    copy_bytes(target, source, 0, size);
    return;
  }
  NativeInt done = 0;
  for (const StructLayout *entry = layout; entry[0] != LAYOUT_END; entry += entry_words(entry)) {
    NativeInt offset;
    NativeInt width;
    switch (entry[0]) {
      case LAYOUT_STRUCT_ARRAY: {
        offset = entry[2];
        NativeInt count = entry[1] > 0 ? entry[1] : 0;
        width = count * entry[3];
        for (NativeInt i = 0; i < count; ++i) {
          NativeInt o = offset + i * entry[3];
          layout_copy(at(target, o), entry[3], nested(entry[4]), at(source, o));
        }
        break;
      }
      case LAYOUT_STRUCT:
        offset = entry[1];
        width = entry[2];
        layout_copy(at(target, offset), width, nested(entry[3]), at(source, offset));
        break;
      case LAYOUT_ARRAY:
        offset = entry[1];
        width = kWord;
        copy_array_field(slot_at(target, offset), word_ptr(source, offset));
        break;
      case LAYOUT_ARRAY_INLINE: {
        offset = entry[1];
        width = (1 + entry[2]) * kWord;
        void *source_data = word_ptr(source, offset);
        void *data = copy_array_field(slot_at(target, offset), source_data);
        if (data != nullptr)
          static_cast<NativeInt *>(data)[-LAYOUT_ARRAY_WORD_INLINE] = array_word(source_data, LAYOUT_ARRAY_WORD_INLINE);
        break;
      }
      case LAYOUT_LIST: {
        offset = entry[1];
        width = 2 * kWord;
        void **field = slot_at(target, offset);
        if (*field != nullptr) dynamic_element_ops.destroy_list(*field);
        auto *list = static_cast<const LayoutListHeader *>(word_ptr(source, offset));
        if (list != nullptr) {
          dynamic_element_ops.create_list(list->node_size - 2 * kWord, field, list->element_layout, list->option);
          dynamic_element_ops.copy_list(word_ptr(source, offset), *field, 0);
        }
        break;
      }
      case LAYOUT_MAP: {
        offset = entry[1];
        width = kWord;
        auto **field = reinterpret_cast<HashMap **>(slot_at(target, offset));
        if (*field != nullptr) dynamic_element_ops.destroy_map(*field);
        auto *map = static_cast<HashMap *>(word_ptr(source, offset));
        if (map != nullptr) {
          dynamic_element_ops.create_map(map->value_size, map->layout, field, map->bucket_count);
          // The copy keeps the source's key kind, so that integer or 8-bit
          // keys are never stored into a map that reads them as RtStrings.
          if (*field != nullptr) (*field)->flags |= map->flags & MAP_KEY_FLAGS;
          dynamic_element_ops.copy_map(map, *field, 0);
        }
        break;
      }
      default: {
        offset = entry[0];
        width = kWord;
        auto **field = reinterpret_cast<StringVar *>(slot_at(target, offset));
        if (*field != nullptr) {
          mem_free(*field);
          *field = nullptr;
        }
        strvar_new(field, static_cast<RtConstString>(word_ptr(source, offset)));
        break;
      }
    }
    copy_bytes(target, source, done, offset);
    done = offset + width;
  }
  copy_bytes(target, source, done, size);
}
