// Sleeps that survive signals, the allocation that never fails, and the
// Manager's exit marker.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "kiv_utils.h"
#include "support/child.h"
#include "support/fixture.h"
#include "support/sanitizer.h"

namespace kiv::test {
namespace {

class BaseTest : public SandboxTest {};
class BaseSlow : public SandboxTest {};

std::atomic<int> g_signals{0};

// Interrupts target three times while it sleeps, with a handler installed
// without SA_RESTART, so that select() really fails with EINTR.
void interrupt_thrice(pthread_t target) {
  for (int i = 0; i < 3; ++i) {
    usleep(150 * 1000);
    pthread_kill(target, SIGUSR1);
  }
}

TEST_F(BaseSlow, InterruptedSleepsLastTheirFullLength) {
  struct sigaction sa = {};
  sa.sa_handler = [](int) { ++g_signals; };
  sigemptyset(&sa.sa_mask);
  struct sigaction old;
  ASSERT_EQ(0, sigaction(SIGUSR1, &sa, &old));

  int64_t start = monotonic_ms();
  std::thread t(interrupt_thrice, pthread_self());
  EXPECT_EQ(0, safe_sleep(1));
  t.join();
  EXPECT_GE(monotonic_ms() - start, 990);
  EXPECT_LT(monotonic_ms() - start, 1400);

  start = monotonic_ms();
  std::thread u(interrupt_thrice, pthread_self());
  EXPECT_EQ(0, safe_usleep(800 * 1000));
  u.join();
  EXPECT_GE(monotonic_ms() - start, 790);
  EXPECT_LT(monotonic_ms() - start, 1200);
  // ThreadSanitizer runs a handler only at the thread's next intercepted
  // call, and the select() loop makes none: signals pending meanwhile merge.
  if (!kThreadSanitized) {
    EXPECT_EQ(6, g_signals.load());
  }
  sigaction(SIGUSR1, &old, nullptr);

  // A malformed timeout is an error other than EINTR: reported, not retried.
  EXPECT_EQ(EINVAL, safe_usleep(-1));
}

TEST_F(BaseTest, SafeMallocGivesZeroedMemory) {
  for (size_t n : {size_t{1}, size_t{268}, size_t{1} << 20}) {
    auto* p = static_cast<unsigned char*>(safe_malloc(n));
    ASSERT_NE(nullptr, p);
    for (size_t i = 0; i < n; i += 4093) ASSERT_EQ(0, p[i]);
    EXPECT_EQ(0, p[n - 1]);
    free(p);
  }
  void* zero = safe_malloc(0);  // calloc(0) may give a unique pointer or none
  free(zero);
}

TEST_F(BaseTest, ProcStatusFollowsTheExitMarker) {
  EXPECT_EQ(-1, kiv_get_proc_status());
  int fd = open(KIV_STATUS_FILE, O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  close(fd);
  EXPECT_EQ(0, kiv_get_proc_status());
  unlink(KIV_STATUS_FILE);
  EXPECT_EQ(-1, kiv_get_proc_status());
}

}  // namespace
}  // namespace kiv::test
