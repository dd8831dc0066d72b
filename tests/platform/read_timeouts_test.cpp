// How long ReadFile waits under each kind of COMMTIMEOUTS, and how it fails.
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include "pty_fixture.h"

namespace {

constexpr DWORD kMaxDword = 0xFFFFFFFFu;

struct ReadResult {
  BOOL ok;
  DWORD error;
  std::vector<unsigned char> bytes;
  double ms;
};

ReadResult timed_read(HANDLE port, DWORD n) {
  std::vector<unsigned char> buffer(n);
  DWORD got = 12345;
  const long long start = now_ns();
  const BOOL ok = ReadFile(port, buffer.data(), n, &got, nullptr);
  const double ms = elapsed_ms_since(start);
  buffer.resize(got);
  return {ok, ok ? 0 : GetLastError(), buffer, ms};
}

using ReadTimeouts = PortTest;

TEST_F(ReadTimeouts, FreshPortHasNoTimeoutsAndKeepsWhatIsSet) {
  open_com1();
  COMMTIMEOUTS t{1, 2, 3, 4, 5};
  ASSERT_TRUE(GetCommTimeouts(port, &t));
  EXPECT_EQ(t.ReadIntervalTimeout, 0u);
  EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 0u);
  EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(t.WriteTotalTimeoutConstant, 0u);

  set_timeouts(COMMTIMEOUTS{10, 10, 7, 3, 9});
  ASSERT_TRUE(GetCommTimeouts(port, &t));
  EXPECT_EQ(t.ReadIntervalTimeout, 10u);
  EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 10u);
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 7u);
  EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 3u);
  EXPECT_EQ(t.WriteTotalTimeoutConstant, 9u);
}

TEST_F(ReadTimeouts, EmptyOneByteReadLastsOneTotalTimeout) {
  open_com1();
  set_timeouts(COMMTIMEOUTS{10, 10, 0, 0, 0});
  const ReadResult r = timed_read(port, 1);
  EXPECT_TRUE(r.ok);
  EXPECT_TRUE(r.bytes.empty());
  EXPECT_GE(r.ms, 9.0);
  EXPECT_LT(r.ms, 500.0);
}

TEST_F(ReadTimeouts, QueuedByteIsReturnedAtOnce) {
  open_com1();
  set_timeouts(COMMTIMEOUTS{0, 0, 5000, 0, 0});
  pty.send({'q'});
  const ReadResult r = timed_read(port, 1);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.bytes, std::vector<unsigned char>{'q'});
  EXPECT_LT(r.ms, 2500.0);
}

TEST_F(ReadTimeouts, ByteArrivingDuringTheWaitEndsIt) {
  open_com1();
  set_timeouts(COMMTIMEOUTS{0, 0, 5000, 0, 0});
  std::thread peer([&] {
    Sleep(30);
    pty.send({0x13});
  });
  const ReadResult r = timed_read(port, 1);
  peer.join();
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.bytes, std::vector<unsigned char>{0x13});
  EXPECT_LT(r.ms, 2500.0);
}

TEST_F(ReadTimeouts, TotalTimeoutReturnsWhatArrived) {
  open_com1();
  set_timeouts(COMMTIMEOUTS{0, 10, 20, 0, 0});  // 70 ms for 5 bytes
  pty.send({1, 2, 3});
  const ReadResult r = timed_read(port, 5);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.bytes, (std::vector<unsigned char>{1, 2, 3}));
  EXPECT_GE(r.ms, 65.0);
}

TEST_F(ReadTimeouts, NoTimeoutsWaitUntilEveryByteIsThere) {
  open_com1();
  std::thread peer([&] {
    pty.send({'a', 'b'});
    Sleep(50);
    pty.send({'c', 'd'});
  });
  const ReadResult r = timed_read(port, 4);
  peer.join();
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.bytes, (std::vector<unsigned char>{'a', 'b', 'c', 'd'}));
  EXPECT_GE(r.ms, 45.0);
}

TEST_F(ReadTimeouts, IntervalTimeoutEndsAReadAfterItsFirstBytes) {
  open_com1();
  set_timeouts(COMMTIMEOUTS{30, 0, 0, 0, 0});
  pty.send({'x', 'y'});
  const ReadResult r = timed_read(port, 10);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.bytes, (std::vector<unsigned char>{'x', 'y'}));
  EXPECT_GE(r.ms, 25.0);
  EXPECT_LT(r.ms, 2000.0);
}

TEST_F(ReadTimeouts, MaxdwordIntervalReturnsAtOnceWithWhatIsQueued) {
  open_com1();
  set_timeouts(COMMTIMEOUTS{kMaxDword, 0, 0, 0, 0});
  ReadResult r = timed_read(port, 10);
  EXPECT_TRUE(r.ok);
  EXPECT_TRUE(r.bytes.empty());

  pty.send({'m', 'n'});
  Sleep(20);  // let the pseudo-terminal hand the bytes over
  r = timed_read(port, 10);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.bytes, (std::vector<unsigned char>{'m', 'n'}));
}

TEST_F(ReadTimeouts, MaxdwordIntervalAndMultiplierEndOnTheFirstByte) {
  open_com1();
  set_timeouts(COMMTIMEOUTS{kMaxDword, kMaxDword, 40, 0, 0});
  ReadResult r = timed_read(port, 10);
  EXPECT_TRUE(r.ok);
  EXPECT_TRUE(r.bytes.empty());
  EXPECT_GE(r.ms, 35.0);

  set_timeouts(COMMTIMEOUTS{kMaxDword, kMaxDword, 5000, 0, 0});
  std::thread peer([&] {
    Sleep(20);
    pty.send({'z'});
  });
  r = timed_read(port, 10);
  peer.join();
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.bytes, std::vector<unsigned char>{'z'});
  EXPECT_LT(r.ms, 2500.0);
}

void ignore_signal(int) {}

TEST_F(ReadTimeouts, SignalAbortsTheReadWithOperationAborted) {
  open_com1();
  set_timeouts(COMMTIMEOUTS{0, 0, 5000, 0, 0});
  struct sigaction action {};
  action.sa_handler = ignore_signal;  // no SA_RESTART
  struct sigaction previous {};
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

  std::atomic<bool> done{false};
  const pthread_t reader = pthread_self();
  std::thread interrupter([&] {
    while (!done) {  // until one signal lands while the read waits
      Sleep(20);
      if (!done) pthread_kill(reader, SIGUSR1);
    }
  });
  const ReadResult r = timed_read(port, 1);
  done = true;
  interrupter.join();
  sigaction(SIGUSR1, &previous, nullptr);

  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, ERROR_OPERATION_ABORTED);
  EXPECT_TRUE(r.bytes.empty());
  EXPECT_LT(r.ms, 2500.0);
}

TEST_F(ReadTimeouts, FarSideGoneFailsWithEioAfterTheTimeout) {
  open_com1();
  set_timeouts(COMMTIMEOUTS{10, 10, 40, 0, 0});  // 50 ms for one byte
  pty.close_master();
  for (int i = 0; i < 3; ++i) {  // a caller looping over failed reads is paced
    const ReadResult r = timed_read(port, 1);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, static_cast<DWORD>(EIO));
    EXPECT_TRUE(r.bytes.empty());
    EXPECT_GE(r.ms, 45.0);
  }
}

TEST_F(ReadTimeouts, FarSideGoneFailsAtOnceWithoutTimeouts) {
  open_com1();
  pty.close_master();
  const ReadResult r = timed_read(port, 1);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, static_cast<DWORD>(EIO));
}

TEST(SleepCall, LastsItsTimeThroughSignals) {
  struct sigaction action {};
  action.sa_handler = ignore_signal;
  struct sigaction previous {};
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
  std::atomic<bool> done{false};
  const pthread_t sleeper = pthread_self();
  std::thread interrupter([&] {
    while (!done) {
      Sleep(5);
      if (!done) pthread_kill(sleeper, SIGUSR1);
    }
  });
  const long long start = now_ns();
  Sleep(60);
  const double ms = elapsed_ms_since(start);
  done = true;
  interrupter.join();
  sigaction(SIGUSR1, &previous, nullptr);
  EXPECT_GE(ms, 59.0);
}

}  // namespace
