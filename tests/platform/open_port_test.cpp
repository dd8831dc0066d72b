// Opening and closing ports: which device "COM1" is, exclusive use, and the
// paths that are no port at all.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "pty_fixture.h"

namespace {

bool in_exclusive_mode(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  int exclusive = 0;
  EXPECT_GE(fd, 0);
  EXPECT_EQ(ioctl(fd, TIOCGEXCL, &exclusive), 0);
  close(fd);
  return exclusive != 0;
}

using OpenPort = PortTest;

TEST_F(OpenPort, Com1IsTheDeviceNamedByQuarnprogPort) {
  open_com1();
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(port, "hi", 2, &written, nullptr));
  EXPECT_EQ(pty.receive(2, 1000), (std::vector<unsigned char>{'h', 'i'}));
}

TEST_F(OpenPort, OtherNamesAreOpenedAsPaths) {
  port = create_port(pty.slave_path().c_str());
  ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
  DCB dcb{};
  EXPECT_TRUE(GetCommState(port, &dcb));
}

TEST_F(OpenPort, MissingDeviceFailsWithError2) {
  ASSERT_EQ(setenv("QUARNPROG_PORT", "/nonexistent/quarnprog-port", 1), 0);
  EXPECT_EQ(create_port("COM1"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 2u);
  EXPECT_EQ(create_port("/nonexistent/other"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 2u);
}

TEST_F(OpenPort, SecondOpenIsRefusedWithEbusyUntilTheFirstIsClosed) {
  open_com1();
  EXPECT_EQ(create_port("COM1"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(EBUSY));

  ASSERT_TRUE(CloseHandle(port));
  port = create_port("COM1");
  EXPECT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
}

TEST_F(OpenPort, PortInExclusiveModeOfAnotherProgramIsRefused) {
  const int other = open(pty.slave_path().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(other, 0);
  ASSERT_EQ(ioctl(other, TIOCEXCL), 0);

  EXPECT_EQ(create_port("COM1"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(EBUSY));

  ioctl(other, TIOCNXCL);
  close(other);
}

TEST_F(OpenPort, ExclusiveModeLastsUntilCloseOrNormalExit) {
  open_com1();
  EXPECT_TRUE(in_exclusive_mode(pty.slave_path()));
  ASSERT_TRUE(CloseHandle(port));
  port = INVALID_HANDLE_VALUE;
  EXPECT_FALSE(in_exclusive_mode(pty.slave_path()));

  // The program itself never closes its port: ending the process must hand
  // it back, or the next run on the same pseudo-terminal finds it taken.
  std::fflush(nullptr);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const bool opened = create_port("COM1") != INVALID_HANDLE_VALUE;
    std::exit(opened ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_FALSE(in_exclusive_mode(pty.slave_path()));
  open_com1();
}

TEST_F(OpenPort, RegularFileOpensButIsNoPort) {
  char path[] = "/tmp/quarnprog-platform-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);

  port = create_port(path);
  ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
  // No terminal exclusive mode here: the lock alone keeps a second opener out.
  EXPECT_EQ(create_port(path), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(EBUSY));
  DCB dcb{};
  EXPECT_FALSE(GetCommState(port, &dcb));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ENOTTY));
  DWORD written = 99;
  EXPECT_FALSE(WriteFile(port, "x", 1, &written, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ENOTTY));
  EXPECT_EQ(written, 0u);

  ASSERT_TRUE(CloseHandle(port));
  port = INVALID_HANDLE_VALUE;
  FILE* file = std::fopen(path, "rb");
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(std::fgetc(file), EOF) << "bytes ended up in the file";
  std::fclose(file);
  unlink(path);
}

TEST_F(OpenPort, DirectoryIsRefusedWithEisdir) {
  EXPECT_EQ(create_port("/tmp"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(EISDIR));
}

TEST(InvalidHandle, EveryCallFailsWithEbadf) {
  DCB dcb{};
  COMMTIMEOUTS timeouts{};
  unsigned char byte = 0;
  DWORD count = 0;
  for (HANDLE bad : {INVALID_HANDLE_VALUE, static_cast<HANDLE>(nullptr)}) {
    EXPECT_FALSE(GetCommState(bad, &dcb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(EBADF));
    EXPECT_FALSE(SetCommTimeouts(bad, &timeouts));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(EBADF));
    EXPECT_FALSE(ReadFile(bad, &byte, 1, &count, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(EBADF));
    EXPECT_FALSE(WriteFile(bad, &byte, 1, &count, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(EBADF));
    EXPECT_FALSE(CloseHandle(bad));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(EBADF));
  }
}

}  // namespace
