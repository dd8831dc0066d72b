// The two ways files reach the target.
//  - YMODEM (133-byte frames with CRC-16/XMODEM) carries the flash writer into
//    the monitor's loader: send_frame, send_eot, ymodem_send.
//  - The simple file packet protocol (67-byte packets with an 8-bit sum)
//    feeds the image to the running flash writer: send_sp_file.
#pragma once

#include <cstdint>

// Numbers frames and packets; each transfer starts it at 0 and advances it
// (modulo 256) before each numbered frame or packet.
extern std::uint8_t serial_counter;

// Packets sent over the life of the process; shown in the feed's time-out
// message so the user can tell how far the image got.
extern std::int32_t mycount;

constexpr int ymodem_frame_size = 133;
constexpr int ymodem_data_size = 128;

// A YMODEM frame exactly as it goes on the line.
struct ymodem_frame {
  std::uint8_t soh;
  std::uint8_t block;
  std::uint8_t block_complement;
  std::uint8_t data[ymodem_data_size];
  std::uint8_t crc_high;
  std::uint8_t crc_low;
};
static_assert(sizeof(ymodem_frame) == ymodem_frame_size);

constexpr int sp_data_size = 64;
constexpr int sp_packet_size = 67;

// A simple file packet exactly as it goes on the line.
struct sp_packet {
  std::uint8_t soh;
  std::uint8_t serial;
  std::uint8_t data[sp_data_size];
  std::uint8_t checksum;
};
static_assert(sizeof(sp_packet) == sp_packet_size);

// Stores the CRC-16/XMODEM of the 128 data bytes in the frame, high byte first.
void calc_crc(ymodem_frame* frame);

// Sends a frame (its CRC filled in here) up to five times until the target
// ACKs it. Non-zero when an ACK came.
int send_frame(ymodem_frame* frame);

// The end-of-transmission handshake: EOT until ACK, at most ten times, then a
// drain. Its outcome is for the console only.
void send_eot();

// Uploads a file to the monitor's YMODEM loader at segment:0 ("yload"): a
// header frame with name and length, the data frames, the EOT handshake and
// the null end frame. 1 when every frame of the file was ACKed, 0 otherwise;
// once the command has gone out, the batch is closed on every path.
int ymodem_send(const char* path, std::uint32_t dls_segment);

// How an image feed ended.
enum sp_feed_result {
  sp_feed_complete = 0,     // every packet of the image was ACKed
  sp_feed_open_failed = 1,  // the image could not be opened: nothing was sent
  sp_feed_incomplete = 2,   // a read error, a packet given up, or ESC
};

// Feeds an image to the running flash writer in 67-byte packets, then the
// EOT handshake (not after ESC).
int send_sp_file(const char* path);

// Sends one packet whose data is filled in, up to five times. 1 on ACK, -1 on
// ESC, 0 when it was given up.
int send_sp_packet(sp_packet* packet);
