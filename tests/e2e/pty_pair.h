// A pseudo-terminal of the test's own: the program under test (or a peer such
// as rz) gets the slave, the test keeps the master. The test also holds the
// slave open itself, so that the line is never hung up when the program
// closes its side, and what the program wrote stays readable on the master.
#pragma once

#include <cstddef>
#include <string>

namespace e2e {

class PtyPair {
 public:
  PtyPair();  // throws when no pseudo-terminal can be had
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  int master() const { return master_; }  // non-blocking
  int slave() const { return slave_; }    // raw, 8 bits, no flow control
  const std::string& slave_path() const { return slave_path_; }

  // Everything queued on the master right now, without waiting.
  std::string take_pending() const;

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slave_path_;
};

}  // namespace e2e
