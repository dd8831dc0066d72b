// Bad local input, each through a whole run against the virtual board: input
// files that are not regular files, cannot be read, or are empty, a very
// large image, and flash writer paths at the upload header's length limit.
// Each ends with its message and a defined exit status, never in a hang.
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "board_run.h"

namespace {

class LocalInputTest : public BoardRunTest {
 protected:
  void SetUp() override {
    BoardRunTest::SetUp();
    make_inputs(1000, 300);
  }

  // A whole run against a fresh board.
  int run(const std::string& pel_path, const std::string& image_path) {
    board = std::make_unique<sim::Board>();
    return run_against(*board, pel_path, image_path);
  }

  // Whether the host wrote a command (the board does not take them all: a
  // flash writer that got no image takes "db" for packet bytes).
  bool sent_command(const std::string& prefix) { return writes_starting(prefix) > 0; }

  // A refused or unopenable flash writer: nothing uploaded, nothing started,
  // and the link still goes back to 9600 baud.
  void expect_no_upload() {
    EXPECT_FALSE(sent_command("yload"));
    EXPECT_FALSE(sent_command("g "));
    EXPECT_TRUE(sent_command("speed   96"));
    EXPECT_EQ(board->frames_taken(), 0u);
  }
  // A refused or unopenable image: the flash writer ran, got no packet, and
  // the closing commands and the restore still followed.
  void expect_no_feed() {
    EXPECT_TRUE(sent_command("g "));
    EXPECT_EQ(board->packets_taken(), 0u);
    EXPECT_TRUE(sent_command("db "));
    EXPECT_TRUE(sent_command("speed   96"));
  }
};

// Opens the far end of a FIFO once `limit` has passed without done(), so
// that a program that opened the FIFO blindly (and waits in the open for a
// writer) fails its test instead of hanging the suite.
class FifoRescue {
 public:
  FifoRescue(std::string path, std::chrono::seconds limit)
      : thread_([this, path = std::move(path), limit] {
          std::unique_lock<std::mutex> lock(mutex_);
          if (done_cv_.wait_for(lock, limit, [this] { return done_; })) return;
          const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);
          if (fd >= 0) close(fd);
        }) {}
  ~FifoRescue() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    done_cv_.notify_all();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable done_cv_;
  bool done_ = false;
  std::thread thread_;
};

std::string refusal(const std::string& path, const std::string& kind) {
  return "Error opening file " + path + ": it is " + kind +
         ", not a regular file: process aborted\n";
}

TEST_F(LocalInputTest, FilesThatAreNotRegularAreRefusedBeforeTheyAreOpened) {
  const std::string directory = missing("adir");
  std::filesystem::create_directory(directory);
  const std::string fifo = missing("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const struct {
    std::string path, kind;
  } kinds[] = {{directory, "a directory"}, {fifo, "a FIFO"}, {"/dev/null", "a character device"}};

  for (const auto& k : kinds) {
    for (const bool as_image : {false, true}) {
      SCOPED_TRACE(k.path + (as_image ? " as the image" : " as the flash writer"));
      SetUp();
      const FifoRescue rescue(fifo, std::chrono::seconds(20));
      const int status = as_image ? run(pel, k.path) : run(k.path, image);
      EXPECT_EQ(status, exit_flash_incomplete);
      EXPECT_NE(output().find(refusal(k.path, k.kind)), std::string::npos);
      if (as_image) {
        expect_no_feed();
      } else {
        expect_no_upload();
      }
    }
  }
}

// Root reads any file whatever its permission bits say, so when the tests
// run as root the run goes on in a child process that has given up root
// for the nobody user. The child's output lands in the same captured
// standard output; its exit status, and what the board saw, come back as
// the child's exit code.
int run_without_privileges(const std::function<int()>& body) {
  if (geteuid() != 0) return body();
  std::fflush(stdout);
  const pid_t child = fork();
  if (child == 0) {
    const bool dropped = setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0;
    const int code = dropped ? body() : 99;
    std::fflush(stdout);
    _exit(code);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 98;
}

TEST_F(LocalInputTest, UnreadableFilesEndTheRunWithTheOpenMessage) {
  for (const bool as_image : {false, true}) {
    SCOPED_TRACE(as_image ? "image" : "flash writer");
    SetUp();
    const std::string& locked = as_image ? image : pel;
    ASSERT_EQ(chmod(locked.c_str(), 0), 0);
    // The child folds its findings into its exit code: the run's status, and
    // a bit for what the board should not have seen.
    const int code = run_without_privileges([&] {
      const int status = run(pel, image);
      const bool went_too_far = as_image ? board->packets_taken() != 0 || !sent_command("db ")
                                         : sent_command("yload") || sent_command("g ");
      return status | (went_too_far ? 0x10 : 0);
    });
    EXPECT_EQ(code, exit_flash_incomplete);
    chmod(locked.c_str(), 0644);
    const std::string shown = output();
    if (as_image) {
      EXPECT_NE(shown.find("Error opening file " + image + ": process aborted\n"),
                std::string::npos);
    } else {
      EXPECT_NE(shown.find("Error opening file: process aborted\n"), std::string::npos);
    }
  }
}

TEST_F(LocalInputTest, EmptyImageIsFedAsSuchAndReportedAsNothingWritten) {
  const std::string empty = file("empty.img", {});
  EXPECT_EQ(run(pel, empty), exit_flash_incomplete);
  EXPECT_TRUE(board->flash_finished()) << "the feed closed with its EOT handshake";
  EXPECT_EQ(board->packets_taken(), 0u);
  EXPECT_NE(output().find("Image file " + empty + " is empty: nothing was written\n"),
            std::string::npos);
  EXPECT_TRUE(sent_command("speed   96"));
}

TEST_F(LocalInputTest, ImageOfSixteenMebibytesIsStreamedIntoTheFlash) {
  const std::vector<std::uint8_t> big = random_bytes(std::size_t{16} << 20, 3);
  const std::string path = file("big.img", big);
  EXPECT_EQ(run(pel, path), exit_flashed);
  EXPECT_EQ(board->packets_taken(), big.size() / 64);
  EXPECT_TRUE(board->flash_image_equals(big)) << "serial numbers wrapped 1024 times";
  output();
}

TEST_F(LocalInputTest, FlashWriterPathsAtTheHeaderLimitAndOnePast) {
  // The header carries the path, a NUL, the length's four digits and a NUL.
  const std::size_t prefix = (directory_ / "").string().size();
  const std::size_t fits = 128 - 2 - std::to_string(pel_bytes.size()).size();
  ASSERT_LT(prefix, fits);
  const std::string at_limit = file(std::string(fits - prefix, 'w'), pel_bytes);
  const std::string one_past = file(std::string(fits + 1 - prefix, 'w'), pel_bytes);

  EXPECT_EQ(run(at_limit, image), exit_flashed);
  EXPECT_EQ(board->loaded_name(), at_limit);
  EXPECT_EQ(board->loaded_file(), pel_bytes);
  output();

  SetUp();
  EXPECT_EQ(run(one_past, image), exit_flash_incomplete);
  expect_no_upload();
  EXPECT_NE(output().find("Error: file name " + one_past + " is too long for the upload header"),
            std::string::npos);
}

}  // namespace
