// The event queue driven by the input against a reference model: immediate
// and deferred posts of a few events (merging candidates, numbers beyond the
// merge bound, negative numbers, -1 wildcards), fetches, peeks. Handlers are
// bound under a fixed set of keys, wildcards included. The model predicts
// the queue's records in order (only an identical tail merges, never for a
// deferred post or an event above 65535), which handlers run for each post
// and fetch and with which current event, when each release runs and with
// which data, and what event_next and the peeks return.
//
// Input: operations of five bytes: opcode, event, item, scope, type (each
// number byte picks from a small table).
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "events/events.h"
#include "fuzz_check.h"

namespace {

const NativeInt kEvents[] = {1, 2, 65535, 65536, -5, 0, 7, 3};
const NativeInt kNumbers[] = {0, 1, 2, -1};

struct Rec {
  NativeInt event, item, scope, type, data;
  EventRelease release;
  bool deferred;
};

// Handlers: one per bound key; each logs its key index and the current event.
struct Call {
  int handler;
  NativeInt event, item, scope, type, data;
};
std::vector<Call> calls;
std::vector<NativeInt> releases;

// Keys bound, as event:scope:item:type.
struct BoundKey {
  NativeInt event, scope, item, type;
};
const BoundKey kBound[] = {
    {1, 0, 1, 2}, {1, -1, -1, -1}, {2, 1, -1, -1}, {2, 1, 2, -1}, {65536, -1, 0, 0}, {-5, -1, -1, -1}, {7, 0, 0, 0},
};
constexpr int kBoundCount = sizeof kBound / sizeof kBound[0];

template <int N>
void handler() {
  CurrentEvent c;
  event_current(&c);
  calls.push_back({N, c.event, c.item, c.scope, c.type, c.data});
}
const EventHandler kHandlers[] = {handler<0>, handler<1>, handler<2>, handler<3>, handler<4>, handler<5>, handler<6>};
static_assert(sizeof kHandlers / sizeof kHandlers[0] == kBoundCount);

void release(NativeInt data) { releases.push_back(data); }

// The calls the five keys of an event make, in dispatch order.
std::vector<Call> expected_calls(const Rec &r) {
  const BoundKey keys[5] = {{r.event, r.scope, r.item, r.type},
                            {r.event, r.scope, r.item, -1},
                            {r.event, r.scope, -1, -1},
                            {r.event, -1, -1, -1},
                            {r.event, -1, r.item, r.type}};
  std::vector<Call> want;
  for (const BoundKey &k : keys)
    for (int h = 0; h < kBoundCount; ++h)
      if (kBound[h].event == k.event && kBound[h].scope == k.scope && kBound[h].item == k.item &&
          kBound[h].type == k.type)
        want.push_back({h, r.event, r.item, r.scope, r.type, r.data});
  return want;
}

bool same(const std::vector<Call> &a, const std::vector<Call> &b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].handler != b[i].handler || a[i].event != b[i].event || a[i].item != b[i].item ||
        a[i].scope != b[i].scope || a[i].type != b[i].type || a[i].data != b[i].data)
      return false;
  }
  return true;
}

void check_queue(const std::deque<Rec> &model) {
  const EventRecord *r = event_queue.head;
  const EventRecord *last = nullptr;
  for (const Rec &m : model) {
    FUZZ_CHECK(r != nullptr);
    FUZZ_CHECK(r->event == m.event && r->item == m.item && r->scope == m.scope && r->type == m.type);
    FUZZ_CHECK(r->data == m.data && r->release == m.release);
    FUZZ_CHECK(((r->flags & EVENT_POST_DEFERRED) != 0) == m.deferred);
    last = r;
    r = r->next;
  }
  FUZZ_CHECK(r == nullptr);
  FUZZ_CHECK(event_queue.tail == last);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  events_init();
  for (int h = 0; h < kBoundCount; ++h)
    FUZZ_CHECK(event_bind(kBound[h].event, kBound[h].scope, kBound[h].item, kBound[h].type, kHandlers[h]) == 1);
  calls.clear();
  releases.clear();
  std::deque<Rec> model;
  CurrentEvent current = {0, 0, 0, 0, 0, nullptr};
  NativeInt next_data = 1;

  for (size_t i = 0; i + 4 < size; i += 5) {
    const uint8_t op = data[i] % 6;
    Rec r = {kEvents[data[i + 1] % 8], kNumbers[data[i + 2] % 4], kNumbers[data[i + 3] % 4], kNumbers[data[i + 4] % 4],
             0, nullptr, false};
    if (data[i] & 0x40) {  // with data, and with a release when bit 7 is set too
      r.data = next_data++;
      if (data[i] & 0x80) r.release = release;
    }
    calls.clear();
    releases.clear();
    if (op <= 2) {  // post: 0 and 1 immediate, 2 deferred
      r.deferred = op == 2;
      const bool merges = !r.deferred && r.event <= EVENT_MERGE_MAX && !model.empty() &&
                          model.back().event == r.event && model.back().item == r.item &&
                          model.back().scope == r.scope && model.back().type == r.type;
      event_post(r.event, r.item, r.scope, r.type, r.data, r.release, r.deferred ? EVENT_POST_DEFERRED : 0);
      if (!merges) model.push_back(r);
      FUZZ_CHECK(same(calls, r.deferred ? std::vector<Call>{} : expected_calls(r)));
      FUZZ_CHECK(releases.empty());  // a merged post's release never runs
      CurrentEvent after;
      event_current(&after);
      FUZZ_CHECK(after.event == current.event && after.item == current.item && after.scope == current.scope &&
                 after.type == current.type && after.data == current.data && after.release == current.release);
    } else if (op <= 4) {  // fetch
      std::vector<NativeInt> want_releases;
      if (current.data != 0 && current.release != nullptr) {
        want_releases.push_back(current.data);
        current.data = 0;
        current.release = nullptr;
      }
      current.type = -1;
      current.event = 0;
      std::vector<Call> want_calls;
      if (!model.empty()) {
        const Rec head = model.front();
        model.pop_front();
        current = {head.event, head.item, head.scope, head.type, head.data, head.release};
        if (head.deferred) want_calls = expected_calls(head);
      }
      FUZZ_CHECK(event_next() == current.event);
      FUZZ_CHECK(releases == want_releases);
      FUZZ_CHECK(same(calls, want_calls));
      CurrentEvent after;
      event_current(&after);
      FUZZ_CHECK(after.event == current.event && after.item == current.item && after.scope == current.scope &&
                 after.type == current.type && after.data == current.data && after.release == current.release);
    } else {  // peek
      NativeInt item = 111, scope = 222, type = 333;
      const NativeInt head = event_peek_full(&item, &scope, &type);
      FUZZ_CHECK(event_peek() == head);
      if (model.empty()) {
        FUZZ_CHECK(head == 0 && item == 111 && scope == 222 && type == 333);
      } else {
        const Rec &m = model.front();
        FUZZ_CHECK(head == m.event && item == m.item && scope == m.scope && type == m.type);
      }
    }
    check_queue(model);
  }
  // Drain: every record comes out in order, each release runs once.
  while (!model.empty()) {
    FUZZ_CHECK(event_next() == model.front().event);
    model.pop_front();
  }
  FUZZ_CHECK(event_next() == 0);
  FUZZ_CHECK(event_queue.head == nullptr && event_queue.tail == nullptr);
  return 0;
}
