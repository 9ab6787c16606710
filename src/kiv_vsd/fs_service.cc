// The file-system service's per-VSD settings. Its library is a platform
// component of the device, loaded by soname at run time so that libkiv
// itself depends on glibc only; hosts without it use the stand-in of the
// same soname.
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>

#include "base/log.h"
#include "fs_service.h"
#include "kiv_vsd/vsd_internal.h"

namespace kiv {
namespace {

constexpr char kLogModule[] = "kiv_vsd";
constexpr char kSymbol[] = "fs_set_vsd_envs";
constexpr size_t kWhyLen = 160;

using SetVsdEnvs = int (*)(int);

constinit pthread_once_t g_load_once = PTHREAD_ONCE_INIT;
constinit SetVsdEnvs g_set_vsd_envs = nullptr;
constinit int g_load_errno = 0;
constinit char g_load_why[kWhyLen] = {};  // dlerror() text of a failed load

void remember_failure(int err) {
  g_load_errno = err;
  const char* why = dlerror();
  snprintf(g_load_why, sizeof g_load_why, "%s", why != nullptr ? why : "unknown error");
}

void load() {
  // The handle is kept for the life of the process: the function pointer
  // stays valid only while the library is loaded.
  void* lib = dlopen(FS_SERVICE_SONAME, RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) {
    remember_failure(ELIBACC);
    return;
  }
  void* sym = dlsym(lib, kSymbol);
  if (sym == nullptr) {
    remember_failure(ENOSYS);
    return;
  }
  g_set_vsd_envs = reinterpret_cast<SetVsdEnvs>(sym);
}

}  // namespace

void preload_fs_service() { (void)pthread_once(&g_load_once, load); }

int fs_set_vsd_envs(int vsd_no) {
  preload_fs_service();
  if (g_set_vsd_envs == nullptr) {
    // Whatever the debug levels: without the service a VSD's programs run
    // outside its group, environment and directory, out of the teardown's
    // and the memory watch's sight.
    KIV_PRINT("%s: not loaded from %s: %s\n", kSymbol, FS_SERVICE_SONAME, g_load_why);
    return -g_load_errno;
  }
  // The service reports a failure by a negative result and errno.
  const int rc = g_set_vsd_envs(vsd_no);
  if (rc >= 0) return rc;
  return errno > 0 ? -errno : -EIO;
}

}  // namespace kiv
