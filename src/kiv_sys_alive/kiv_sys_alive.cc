// The alive table: mapping it into the process (and the master's one-time
// clear), and the per-entry operations on its bits and sequence bytes.
// Between processes nothing is locked: every field an entry operation
// touches is a single byte, and byte loads and stores are atomic.
#include "kiv_sys_alive.h"

#include <errno.h>
#include <pthread.h>
#include <string.h>
#include <sys/stat.h>

#include "base/log.h"
#include "base/mutex_lock.h"
#include "kiv_utils/fork_local.h"

extern "C" {
kiv_alive_info g_kiv_alive_info = {{nullptr, nullptr, 0}, nullptr};
}

namespace kiv {
namespace {

constexpr char kLogModule[] = "kiv_sys_alive";

// Mapping and clearing are serialized within the process by
// ForkLocal::alive_init_lock; `inited` and the setting of `table` happen
// only under it.
// Set once this process, as master, has cleared the table.
constinit unsigned char inited = 0;

kiv_alive_table* mapped_table() {
  return __atomic_load_n(&g_kiv_alive_info.table, __ATOMIC_ACQUIRE);
}

uint8_t load_byte(const uint8_t* p) { return __atomic_load_n(p, __ATOMIC_RELAXED); }
void store_byte(uint8_t* p, uint8_t v) { __atomic_store_n(p, v, __ATOMIC_RELAXED); }

// The reserved bytes stay as they are. Entries that other processes change
// meanwhile may survive the clear or be lost: the master clears at start.
// Threads of this process may beat meanwhile, so every byte is cleared
// with the single-byte atomic store they use (a memset would race them).
void clear_table(kiv_alive_table* t) {
  t->table_size = KIV_ALIVE_SHM_SIZE;
  for (uint8_t& b : t->alive_bits) store_byte(&b, 0);
  for (uint8_t& b : t->alive_seq) store_byte(&b, 0);
}

// The table for a valid id, or null after the entry operation's log line.
kiv_alive_table* entry_table(int id, const char* op) {
  if (static_cast<unsigned int>(id) >= KIV_ALIVE_PID_MAX) {
    KIV_LOG_ALIVE("pid err(pid:%d)!\r\n", id);
    return nullptr;
  }
  kiv_alive_table* t = mapped_table();
  if (t == nullptr) KIV_LOG_ALIVE("%s: alive table not mapped(pid:%d)!\r\n", op, id);
  return t;
}

uint8_t bit_of(int id) { return static_cast<uint8_t>(1u << (id % 8)); }

}  // namespace
}  // namespace kiv

using kiv::kLogModule;

extern "C" int kiv_sys_init_alive_info(int is_master) {
  kiv::ForkLocal* local = kiv::fork_local();
  if (local == nullptr) {
    KIV_LOG("no fork-local page: %s\r\n", strerror(errno));
    return -1;
  }
  kiv::MutexLock guard(&local->alive_init_lock);
  const bool clear = is_master != 0 && kiv::inited == 0;
  if (kiv_alive_table* t = kiv::mapped_table()) {
    if (clear) {
      kiv::clear_table(t);
      kiv::inited = 1;
    }
    return 0;
  }
  const int ret = kiv_os_init_record_memory(KIV_ALIVE_SHM_NAME, KIV_ALIVE_SHM_SIZE,
                                            &g_kiv_alive_info.record, &errno);
  if (ret != 0) {
    KIV_LOG("kiv_os_init_record_memory err(path:%s, ret:%d, err:%d)!\r\n", KIV_ALIVE_SHM_NAME, ret,
            errno);
    return ret;
  }
  // shm_open's mode is cut by the creator's umask; every user's processes
  // must be able to open the table.
  const int chmod_ret = chmod(KIV_ALIVE_SHM_FILE, 0777) < 0 ? -1 : 0;
  if (chmod_ret != 0) KIV_LOG("change mode failed!\r\n");
  auto* t = static_cast<kiv_alive_table*>(g_kiv_alive_info.record.addr);
  __atomic_store_n(&g_kiv_alive_info.table, t, __ATOMIC_RELEASE);
  if (clear) {
    kiv::clear_table(t);
    KIV_LOG("data clear is_master = %d, inited = %d\r\n", 1, static_cast<int>(kiv::inited));
    kiv::inited = 1;
  }
  return chmod_ret;
}

extern "C" int kiv_sys_reg_alive_info(int id) {
  kiv_alive_table* t = kiv::entry_table(id, __func__);
  if (t == nullptr) return -1;
  // A bitmap byte holds eight ids: the atomic or keeps the neighbours' bits
  // even if their owner changes them at the same moment.
  (void)__atomic_fetch_or(&t->alive_bits[id / 8], kiv::bit_of(id), __ATOMIC_RELAXED);
  kiv::store_byte(&t->alive_seq[id], 1);
  return 0;
}

extern "C" int kiv_sys_unreg_alive_info(int id) {
  kiv_alive_table* t = kiv::entry_table(id, __func__);
  if (t == nullptr) return -1;
  (void)__atomic_fetch_and(&t->alive_bits[id / 8], static_cast<uint8_t>(~kiv::bit_of(id)),
                           __ATOMIC_RELAXED);
  kiv::store_byte(&t->alive_seq[id], 0);
  return 0;
}

extern "C" int kiv_sys_isreg_alive_info(int id) {
  if (static_cast<unsigned int>(id) >= KIV_ALIVE_PID_MAX) {
    KIV_LOG_ALIVE("pid err(pid:%d)!\r\n", id);
    return 0;
  }
  const int ret = kiv_sys_init_alive_info(0);
  if (ret != 0) {
    KIV_LOG_ALIVE("fail to init alive_info(ret:%d)!!!\n", ret);
    return 0;
  }
  const kiv_alive_table* t = kiv::mapped_table();
  return (kiv::load_byte(&t->alive_bits[id / 8]) & kiv::bit_of(id)) != 0 ? 1 : 0;
}

extern "C" int kiv_sys_update_alive_seq(int id) {
  kiv_alive_table* t = kiv::entry_table(id, __func__);
  if (t == nullptr) return -1;
  // Never 0 while beating: a reader comparing two looks sees every change.
  const uint8_t seq = kiv::load_byte(&t->alive_seq[id]);
  kiv::store_byte(&t->alive_seq[id], seq == 255 ? 1 : static_cast<uint8_t>(seq + 1));
  return 0;
}

extern "C" int kiv_sys_get_alive_seq(int id) {
  const kiv_alive_table* t = kiv::entry_table(id, __func__);
  if (t == nullptr) return -1;
  return kiv::load_byte(&t->alive_seq[id]);
}
