// Connection: one accepted client connection with its line reader and line writer.
//
// Threads and ownership:
//  - The session thread owns the connection: it alone reads lines and it alone closes the socket
//    (Close). Other threads may write lines and may shut the connection down.
//  - Shutdown (any thread) turns the linger option on and shuts both directions down, which ends
//    a blocked read at once. The descriptor stays open until the owner closes it, so its number
//    cannot be reused under a thread that still uses it.
//  - Lines are written whole under the writer's lock, with a send timeout: a client that does not
//    read cannot hold a writer for longer than the timeout. A line that cannot be sent in time is
//    dropped and so is every later one, as on a broken connection.
#pragma once

#include <asio/ip/tcp.hpp>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "server/LineReader.h"

class Connection {
 public:
  enum class ReadStatus { Line, EndOfStream, Error, TooLong };

  // sendTimeout: the longest a reply line may take to leave.
  Connection(asio::ip::tcp::socket socket, std::chrono::milliseconds sendTimeout);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // No send delay for short replies, and keepalive probes, so a client whose cable was pulled
  // frees the server within about a minute.
  std::error_code EnableKeepAlive();

  // Owner thread only: the next line. EndOfStream after the last line; Error on a reset or a
  // read failure; TooLong when a line exceeds the reader's limit.
  ReadStatus ReadLine(std::string& line);

  // Any thread: writes the text and CR LF, flushed at once. False when the line was dropped
  // (writer closed, connection broken, or not sent within the send timeout).
  bool WriteLine(std::string_view text);
  // Any thread: later writes are dropped.
  void CloseWriter();

  // Any thread: linger of one second, then both directions shut down.
  std::error_code Shutdown();
  // Owner thread only: closes the socket (after Shutdown or on its own).
  std::error_code Close();
  bool IsOpen() const { return open_.load(); }
  // A line could not be sent in time: every later line is dropped at once.
  bool Broken() {
    std::lock_guard lock(writeLock_);
    return broken_;
  }

 private:
  asio::ip::tcp::socket socket_;
  asio::ip::tcp::socket::native_handle_type fd_;
  const std::chrono::milliseconds sendTimeout_;
  std::atomic<bool> open_{true};
  LineReader reader_;
  std::vector<std::string> pending_;
  size_t next_ = 0;
  bool ended_ = false;
  std::mutex writeLock_;
  bool writerOpen_ = true;  // guarded by writeLock_
  bool broken_ = false;     // guarded by writeLock_
};
