// The virtual Quarn board: monitor, YMODEM loader and flash writer, driven
// byte by byte with explicit times in microseconds. No real time, no I/O,
// fully deterministic; the unit tests' fake platform and the quarnsim program
// both drive it.
//
// Driving it: call power_up() once, then receive() for every host byte in
// non-decreasing time, and take the board's bytes with peek_output() /
// pop_output() once their `at` has come. Everything the board will send if
// the host stays quiet is already in the output queue, time-outs included;
// a later host byte withdraws what it pre-empts. So a driver must only pop
// bytes that are due (at <= its clock) before it delivers host bytes at that
// clock.
//
// What the board does (the config in sim/board_config.h changes most of it):
//  - Power-up: the start-up text from `at` on, at 9600 8N1, then ':'. Before
//    it the board is off and host bytes are lost; a second power_up() resets
//    the board and cuts off what it was still sending.
//  - Monitor: no echo. A line ends at LF or CR; LF CR or CR LF counts once.
//    Control bytes other than tab are dropped; an empty line answers "\r\n:".
//    Every answer ends with the prompt ':'. Commands (blanks anywhere, word
//    case ignored, numbers in hex, "SEG:OFF" or "SEG" for SEG:0):
//      speed N [M]  N = 96 / 38 / 19 / 57 / 115 / 12 / 24 / 48 (x100 baud, or
//                   in full): "\r\nspeed 38400\r\n:" at the old speed; the
//                   board switches once everything it decided to send before
//                   the switch is on the line.
//      dls          "\r\nDLS:" then " 8000\r\n:" (the segment, upper case).
//      yload S:O    "\r\nYMODEM receive\r\n", one 'C', then the loader.
//      g S:O        starts the flash writer if a complete file was loaded at
//                   S:O (nothing printed), else an error text and ':'.
//      db S:O / d   hex dump of 128 bytes ("SSSS:OOOO  XX .. XX  text" rows);
//                   memory is the loaded file, zero elsewhere; "d" goes on
//                   after the last dump.
//      other        "\r\nUnknown command\r\n:".
//  - YMODEM loader: 133-byte frames (SOH, block, ~block, 128 data, CRC-16
//    XMODEM high byte first). Bad frames (CRC, complement) are NAKed, so are
//    frames that stall for frame_gap. Block 0 first: "name NUL length ...".
//    Then blocks 1, 2, .. 255, 0, ..; the previous block again is ACKed and not
//    stored; any other block is NAKed. Bytes outside a frame other than SOH
//    and EOT are ignored. EOT is ACKed (also before a header was taken, so a
//    host that gives up after the header still gets through); the next block
//    0 frame ends the batch: ACK, the file cut to the header's length is
//    stored, "\r\nLoaded N bytes\r\n:" (or "Incomplete download" /
//    "Nothing loaded"), monitor. A header with an empty name also ends the
//    batch. loader_idle_timeout of silence: "\r\nYMODEM receive timed out
//    \r\n:", monitor, nothing stored.
//  - Flash writer: first answer after flash_first_answer_delay, the ready
//    ACK flash_ready_delay later (the flash is being erased meanwhile). Takes
//    67-byte packets (SOH, serial, 64 data, 8-bit sum) at any time; every
//    byte that is not EOT starts a packet. Wrong SOH or sum, or a stall of
//    frame_gap: NAK. serial = last + 1: ACK and store (the first expected is
//    1); serial = last: ACK and drop; anything else: ESC, "\r\nSequence
//    error, flash writer abandoned\r\n:", monitor. EOT: ACK, "\r\nFlash
//    written, N bytes\r\n:", monitor. An answer (configured) holding ESC
//    abandons as well.
//  - flash() holds the data of every packet taken, in order, so it includes
//    the zero fill of the last packet; flash_image_equals() allows for that.
//  - A host byte sent at a speed other than the board's own at that moment is
//    received as garble(byte). Board bytes carry the speed they were sent at;
//    the driver garbles those the host receives at another speed.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/board_config.h"
#include "sim/line.h"

namespace sim {

class Board {
 public:
  explicit Board(BoardConfig config = {});

  void power_up(Micros at);  // the start-up text goes out from `at` on
  // A host byte reaches the board at `at`; calls come in non-decreasing `at`.
  void receive(std::uint8_t value, std::uint32_t host_baud, Micros at);
  const LineByte* peek_output() const;  // earliest byte not yet taken, or nullptr
  void pop_output();

  // The board's line speed once the switch it has decided on (if any) is
  // done; speed_at() tells the speed at a given moment.
  std::uint32_t speed() const;
  std::uint32_t speed_at(Micros at) const;

  // --- What happened ---
  const std::vector<std::uint8_t>& loaded_file() const { return loaded_file_; }
  const std::string& loaded_name() const { return loaded_name_; }
  std::uint32_t loaded_segment() const { return loaded_segment_; }
  bool loaded_complete() const { return loaded_complete_; }  // all header-length bytes came
  const std::vector<std::uint8_t>& flash() const { return flash_; }
  // flash() is `image` followed by the zero fill of its last 64-byte packet.
  bool flash_image_equals(const std::vector<std::uint8_t>& image) const;

  struct Command {
    Micros at;
    std::uint32_t host_baud;  // the host's speed for the line end that closed it
    std::string text;         // as the monitor took it, without the line end; "" too
  };
  const std::vector<Command>& commands() const { return commands_; }

  enum class Mode { off, monitor, loader, flash_writer, dead };
  // As of the last host byte or power_up(): time-outs that have not been
  // overtaken by a host byte yet are not counted.
  Mode mode() const { return core_.mode; }
  std::uint64_t host_bytes() const { return host_bytes_; }  // receive() calls so far
  // YMODEM frames taken by the current or last upload, header and end included.
  std::uint64_t frames_taken() const { return frames_taken_; }
  unsigned loader_eots_acked() const { return loader_eots_acked_; }
  bool upload_finished() const { return upload_finished_; }  // the null end frame was taken
  std::uint64_t packets_taken() const { return flash_.size() / 64; }
  bool flash_finished() const { return flash_finished_; }  // EOT taken
  bool flash_abandoned() const { return core_.writer_abandoned; }
  std::uint64_t naks_sent() const { return core_.naks; }  // by loader and writer

 private:
  static constexpr std::size_t kFrameSize = 133;
  static constexpr std::size_t kPacketSize = 67;
  enum class LoaderPhase { header, data, after_eot };
  enum class WriterPhase { announcing, erasing, running };

  // Everything a time-out may change. Time-outs run on copies of it to
  // foresee the output (see speculate()), so it holds no big buffers; the
  // stored files and logs live outside and change only with host bytes.
  struct Core {
    Mode mode = Mode::off;
    std::uint32_t speed = 9600;
    std::uint32_t pending_speed = 0;  // 0: no switch pending
    Micros switch_at = 0;
    Micros line_free = 0;
    std::uint64_t sent = 0;                     // bytes put on the line
    bool muted = false;                         // a silence fault is swallowing the output
    std::array<std::uint8_t, kFrameSize> rx{};  // frame or packet being collected
    std::size_t rx_len = 0;
    Micros last_rx = 0;
    LoaderPhase loader_phase = LoaderPhase::header;
    WriterPhase writer_phase = WriterPhase::running;
    Micros writer_deadline = 0;
    bool writer_abandoned = false;
    std::uint64_t naks = 0;
  };
  struct Entry {
    LineByte byte;
    bool speculative;
  };

  // Time and output plumbing (board.cpp, board_output.cpp).
  void catch_up(Micros at);
  void speculate();
  std::optional<Micros> next_deadline() const;
  void fire(Micros at);
  void settle_speed(Micros at);
  Micros emit(std::string_view bytes, Micros ready);
  void push(LineByte byte);
  void enter_monitor();

  // Monitor (board_monitor.cpp).
  void monitor_byte(std::uint8_t value, std::uint32_t host_baud, Micros at);
  void run_command(const std::string& text, Micros at);
  void answer(std::string_view word, std::string_view text, Micros at, bool prompt = true,
              std::size_t pause_before = std::string::npos, Micros pause = 0);
  void dump(std::string_view word, Micros at);

  // YMODEM loader (board_loader.cpp).
  void enter_loader(std::uint32_t segment, std::uint32_t offset, Micros at);
  void loader_byte(std::uint8_t value, Micros at);
  void loader_frame(Micros at);
  void loader_eot(Micros at);
  void loader_finish(Micros at);
  void loader_give_up(Micros at);

  // Flash writer (board_writer.cpp).
  void enter_writer(Micros at);
  void writer_byte(std::uint8_t value, Micros at);
  void writer_packet(Micros at);
  void writer_eot(Micros at);
  void writer_abandon(std::string_view why, Micros at);
  void writer_step(Micros at);

  void reply(std::string_view bytes, Micros at);
  void rx_stalled(Micros at);
  const std::string* fault_answer(const std::vector<AnswerFault>& faults,
                                  std::vector<unsigned>& used, std::uint64_t index);

  BoardConfig config_;
  Core core_;

  std::deque<Entry> queue_;
  std::deque<LineByte> popped_speculative_;  // taken by the host before we knew them for sure
  bool speculating_ = false;
  std::size_t replay_skip_ = 0;
  Micros last_at_ = 0;
  std::uint64_t host_bytes_ = 0;

  // Monitor.
  std::string line_;
  std::uint8_t last_line_end_ = 0;  // CR or LF that closed the last line, if just before
  std::uint32_t dump_segment_ = 0, dump_offset_ = 0;  // where "d" goes on
  std::vector<Command> commands_;

  // Loader.
  std::uint32_t load_segment_ = 0, load_offset_ = 0;
  std::uint8_t expected_block_ = 1;
  std::uint64_t data_frames_ = 0;
  unsigned loader_eots_ = 0;
  std::string header_name_;
  std::optional<std::uint64_t> header_length_;
  std::vector<std::uint8_t> upload_;
  std::vector<unsigned> loader_fault_uses_;
  std::uint64_t frames_taken_ = 0;
  unsigned loader_eots_acked_ = 0;
  bool upload_finished_ = false;
  std::vector<std::uint8_t> loaded_file_;
  std::string loaded_name_;
  std::uint32_t loaded_segment_ = 0, loaded_offset_ = 0;
  bool loaded_complete_ = false;

  // Flash writer.
  std::uint8_t last_serial_ = 0;
  std::vector<unsigned> flash_fault_uses_;
  std::vector<std::uint8_t> flash_;
  bool flash_finished_ = false;
};

}  // namespace sim
