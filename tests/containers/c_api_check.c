/* Compiled as C: the container headers are plain C and usable from it. */
#include "containers/hashmap.h"
#include "containers/layout.h"
#include "containers/pool.h"

int containers_c_api_check(void);

int containers_c_api_check(void) {
  static const StructLayout strings_only[] = {0, LAYOUT_END};
  Pool *pool = pool_create(12, 4, 8, POOL_LOCKED);
  HashMap *map = 0;
  int ok = pool != 0 && map_create(sizeof(NativeInt), 0, &map, 4) != 0;
  if (ok) {
    void *element = pool_alloc_zeroed(pool);
    NativeInt *value = (NativeInt *)map_put_host(map, "c");
    ok = element != 0 && value != 0 && map_find_host(map, "c") == value && map_value_key(value) != 0 &&
         layout_has_dynamic(strings_only) == 0;
    if (element != 0) pool_free(pool, element);
  }
  if (map != 0) map_destroy(map);
  if (pool != 0) pool_destroy(pool);
  return ok && map == 0;
}
