/* Object tables: records of one fixed size that a program names by number,
 * either a small number it picks (a slot of a growable array) or the record's
 * own address (a dynamic object on a linked list). Modules that hand out
 * numbered objects call these; a table keeps its slots and dynamic list, and
 * one process-wide recursive mutex guards the creation of tables. */
#ifndef KRT_CONTAINERS_OBJTAB_H
#define KRT_CONTAINERS_OBJTAB_H

#include <pthread.h>

#include "core/rtconfig.h"

KRT_EXTERN_C_BEGIN

/* Called with an object's number when a record is requested for a number whose
 * slot is already filled, so the owner can give back what the old object held. */
typedef void (*ObjectReleaseCallback)(NativeInt number);

/* A node of the dynamic-object list (newest first), followed directly by the
 * object record; the record's address is the object's number. */
typedef struct DynamicObjectNode {
  struct DynamicObjectNode *next; /* null at the end */
  struct DynamicObjectNode *prev; /* null at the head */
} DynamicObjectNode;

/* Bytes in front of a dynamic object's record: the two links. */
#define OBJTAB_NODE_OVERHEAD ((NativeInt)sizeof(DynamicObjectNode))

/* Every record starts with a pointer-sized live mark: the object is live only
 * while it is non-zero. The table zeroes it only together with the whole
 * record; the owning module sets it once it has filled in a new record. */
typedef struct ObjectTable {
  NativeInt element_size; /* bytes of one record, at least the live mark */
  NativeInt growth_step;  /* slots at creation, and slots added beyond a request; >= 1 */
  NativeInt slot_count;   /* slots allocated; only grows */
  void **slots;           /* SizedBlock of slot_count records (null = empty slot) */
  DynamicObjectNode *dynamic_head;
  ObjectReleaseCallback release_callback; /* may be null */
} ObjectTable;

/* The lock objtab_create_once holds while it tests and fills a table
 * variable. It is recursive, so a caller that holds it to create several
 * tables as one step can still call objtab_create_once. objtab_creation_init
 * (run once through objtab_creation_once) sets it up. */
extern pthread_mutex_t objtab_creation_lock;
extern pthread_once_t objtab_creation_once;
void objtab_creation_init(void);

/* A new table with `growth_step` empty slots (a step below 1 counts as 1; an
 * element size below one NativeInt is raised to it, so that every record has
 * its live mark). Null when memory for the table or its slots runs out, with
 * nothing kept. */
ObjectTable *objtab_new(NativeInt element_size, NativeInt growth_step, ObjectReleaseCallback release_callback);

/* Stores objtab_new(...) into *variable unless it already holds a table,
 * under objtab_creation_lock, so that threads racing to create the same table
 * leave one. *variable stays null only if memory ran out. */
void objtab_create_once(ObjectTable **variable, NativeInt element_size, NativeInt growth_step,
                        ObjectReleaseCallback release_callback);

/* The record for `number`:
 *  -1: a new zeroed dynamic object, whose address is its number.
 *  n >= 0: slot n, growing the slots to n + growth_step when n is beyond
 *  them. An empty slot gets a new zeroed record. A filled slot keeps its
 *  record: the release callback, if any, is called with n first, and the
 *  record the slot then holds is returned, not zeroed.
 * Null when memory runs out (the slot stays empty; slot_count is unchanged
 * when the growth itself failed and keeps the grown, empty slots when only
 * the record could not be had; for -1 nothing is linked) and for numbers
 * below -1. Callers bound the numbers
 * they accept: the slot array grows to whatever number is asked for. */
void *objtab_obtain(ObjectTable *table, NativeInt number);

/* The live record of a slot number, or of a dynamic object's number, else
 * null. Constant time: a number outside the slot range is taken as a record
 * address without any search, so it must come from objtab_obtain(-1) and not
 * have been cleared since (test other numbers with objtab_check). */
void *objtab_get(ObjectTable *table, NativeInt number);

/* Safe for any number: for a slot number as objtab_get; otherwise the number
 * itself (as an address) when some dynamic object has it, live mark or not,
 * else null. Walks the dynamic list. */
void *objtab_check(ObjectTable *table, NativeInt number);

/* Slot number: zeroes the whole record, which stays in its slot for the next
 * objtab_obtain (an empty slot stays empty). Dynamic number (from
 * objtab_obtain(-1), not cleared since): unlinks and frees the object. */
void objtab_clear(ObjectTable *table, NativeInt number);

/* Links a new zeroed node of `node_size` bytes (links included; at least the
 * links plus one NativeInt) at the head of the list at *head and returns the
 * address of its record, or null with nothing linked when memory runs out. */
void *objtab_new_dynamic(DynamicObjectNode **head, NativeInt node_size);

/* Unlinks the node whose record is at `record` from the list at *head and
 * frees it. The record must belong to a node of that list. */
void objtab_unlink_dynamic(DynamicObjectNode **head, void *record);

KRT_EXTERN_C_END

#endif
