// One captured output stream of a child on Windows, read through a named
// pipe with overlapped I/O.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <string_view>

#include "lookup/windows/api.h"
#include "lookup/windows/system.h"

namespace kelvar::lookup {

// One captured stream: the parent's end of a pipe, read with overlapped I/O
// so that a single thread can wait for both streams, the child and the
// stop check at once, and can abandon a read that someone else keeps open.
class Capture {
 public:
  Capture() = default;
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;
  // The kernel writes into `buffer_` and `overlapped_` until a pending read
  // completes, so they must outlive it: cancel and wait before they go.
  ~Capture() { abandon(); }

  // Creates the pipe and returns the child's end: synchronous (the child's
  // C runtime expects that), opened for writing data and reading the
  // pipe's attributes (as the C runtime asks for them), never for reading
  // data. It is not inheritable: start() makes it so only around the start
  // itself. On failure, `error` holds the system's code.
  Handle open(std::wstring_view stream_tag, DWORD& error);

  // Starts the next read. Returns false when the stream has ended or failed.
  bool start_read();

  // Collects the read whose event is signalled, and starts the next one.
  void complete_read();

  // The child and everything it started are gone, so whatever they wrote is
  // in the pipe already: collect it, then let go, even when a process of the
  // host's holds a write end that it inherited by accident and keeps the
  // stream from ending.
  void collect_rest();

  void abandon() noexcept;

  bool reading() const noexcept { return pending_; }
  HANDLE event() const noexcept { return event_.get(); }
  bool failed() const noexcept { return failure_ != ERROR_SUCCESS; }
  DWORD failure() const noexcept { return failure_; }
  std::string take() { return std::move(data_); }

 private:
  static constexpr DWORD buffer_size = 64 * 1024;
  // The longest collect_rest() waits for a read that data in the pipe
  // should complete at once.
  static constexpr DWORD wait_interval = 100;  // milliseconds

  // Unique among live pipes: the process and thread ids tell runs in
  // progress apart, and the counter value tells this run from an earlier
  // one of the same thread whose pipe a grandchild may still hold.
  static std::wstring unique_pipe_name(std::wstring_view stream_tag);

  void finish(DWORD error) {
    // The end of the stream: every writer, the child and whatever it left
    // behind, has closed its end.
    if (error != ERROR_BROKEN_PIPE && error != ERROR_HANDLE_EOF) failure_ = error;
    done_ = true;
  }

  Handle pipe_;
  Handle event_;
  OVERLAPPED overlapped_{};
  std::unique_ptr<std::array<char, buffer_size>> buffer_ =
      std::make_unique<std::array<char, buffer_size>>();
  std::string data_;
  bool pending_ = false;
  bool done_ = false;
  DWORD failure_ = ERROR_SUCCESS;
};

}  // namespace kelvar::lookup
