// Object tables: numbered records in growable slots, and dynamic objects
// numbered by their own address on a doubly linked list.
#include "containers/objtab.h"

#include <cstring>

#include "containers/pool.h"
#include "core/memblock.h"

pthread_mutex_t objtab_creation_lock;
pthread_once_t objtab_creation_once = PTHREAD_ONCE_INIT;

namespace {

constexpr NativeInt kWord = static_cast<NativeInt>(sizeof(void *));
// Largest slot count whose array still fits a SizedBlock length.
constexpr NativeInt kMaxSlots = (NATIVEINT_MAX - BLOCK_HEADER_SIZE) / kWord;

inline DynamicObjectNode *node_of(void *record) {
  return reinterpret_cast<DynamicObjectNode *>(static_cast<char *>(record) - OBJTAB_NODE_OVERHEAD);
}

inline void *record_of(DynamicObjectNode *node) { return reinterpret_cast<char *>(node) + OBJTAB_NODE_OVERHEAD; }

inline bool in_slot_range(const ObjectTable *table, NativeInt number) {
  return number >= 0 && number < table->slot_count;
}

inline void *live_or_null(void *record) {
  return record != nullptr && *static_cast<const NativeInt *>(record) != 0 ? record : nullptr;
}

// Makes room for slot `number`: number + growth_step slots. False, with the
// table unchanged, when that many cannot be had.
bool grow_slots(ObjectTable *table, NativeInt number) {
  if (number > kMaxSlots - table->growth_step) return false;
  NativeInt count = number + table->growth_step;
  void *grown = block_resize(table->slots, count * kWord);  // new slots come back zeroed
  if (grown == nullptr) return false;
  table->slots = static_cast<void **>(grown);
  table->slot_count = count;
  return true;
}

}  // namespace

void objtab_creation_init(void) { pool_init_recursive_mutex(&objtab_creation_lock); }

ObjectTable *objtab_new(NativeInt element_size, NativeInt growth_step, ObjectReleaseCallback release_callback) {
  if (element_size < kWord) element_size = kWord;
  if (growth_step < 1) growth_step = 1;
  if (growth_step > kMaxSlots) return nullptr;
  // A dynamic node adds its links to the record; that sum must stay a length.
  if (element_size > NATIVEINT_MAX - BLOCK_HEADER_SIZE - OBJTAB_NODE_OVERHEAD) return nullptr;
  auto *table = static_cast<ObjectTable *>(block_alloc(sizeof(ObjectTable)));
  if (table == nullptr) return nullptr;
  table->slots = static_cast<void **>(block_alloc(growth_step * kWord));
  if (table->slots == nullptr) {
    block_free(table);
    return nullptr;
  }
  table->element_size = element_size;
  table->growth_step = growth_step;
  table->slot_count = growth_step;
  table->dynamic_head = nullptr;
  table->release_callback = release_callback;
  return table;
}

void objtab_create_once(ObjectTable **variable, NativeInt element_size, NativeInt growth_step,
                        ObjectReleaseCallback release_callback) {
  run_once(&objtab_creation_once, objtab_creation_init);
  pthread_mutex_lock(&objtab_creation_lock);
  if (*variable == nullptr) *variable = objtab_new(element_size, growth_step, release_callback);
  pthread_mutex_unlock(&objtab_creation_lock);
}

void *objtab_obtain(ObjectTable *table, NativeInt number) {
  if (number < 0) {
    if (number != -1) return nullptr;
    return objtab_new_dynamic(&table->dynamic_head, table->element_size + OBJTAB_NODE_OVERHEAD);
  }
  if (number >= table->slot_count && !grow_slots(table, number)) return nullptr;
  void *record = table->slots[number];
  if (record == nullptr) {
    record = block_alloc(table->element_size);
    table->slots[number] = record;  // stays null when memory ran out
    return record;
  }
  if (table->release_callback == nullptr) return record;
  table->release_callback(number);
  // Read afresh: the callback may have obtained a higher number, which moves
  // the slot array.
  return table->slots[number];
}

void *objtab_get(ObjectTable *table, NativeInt number) {
  if (in_slot_range(table, number)) return live_or_null(table->slots[number]);
  return live_or_null(reinterpret_cast<void *>(number));
}

void *objtab_check(ObjectTable *table, NativeInt number) {
  if (in_slot_range(table, number)) return live_or_null(table->slots[number]);
  for (DynamicObjectNode *node = table->dynamic_head; node != nullptr; node = node->next)
    if (reinterpret_cast<NativeInt>(record_of(node)) == number) return record_of(node);
  return nullptr;
}

void objtab_clear(ObjectTable *table, NativeInt number) {
  if (in_slot_range(table, number)) {
    void *record = table->slots[number];
    if (record != nullptr) memset(record, 0, static_cast<size_t>(table->element_size));
    return;
  }
  objtab_unlink_dynamic(&table->dynamic_head, reinterpret_cast<void *>(number));
}

void *objtab_new_dynamic(DynamicObjectNode **head, NativeInt node_size) {
  if (node_size < OBJTAB_NODE_OVERHEAD + kWord) node_size = OBJTAB_NODE_OVERHEAD + kWord;
  auto *node = static_cast<DynamicObjectNode *>(block_alloc(node_size));
  if (node == nullptr) return nullptr;
  DynamicObjectNode *first = *head;
  if (first != nullptr) {
    first->prev = node;
    node->next = first;
  }
  *head = node;
  return record_of(node);
}

void objtab_unlink_dynamic(DynamicObjectNode **head, void *record) {
  DynamicObjectNode *node = node_of(record);
  if (node == *head) {
    *head = node->next;
    if (node->next != nullptr) node->next->prev = nullptr;
  } else {
    node->prev->next = node->next;
    if (node->next != nullptr) node->next->prev = node->prev;
  }
  block_free(node);
}
