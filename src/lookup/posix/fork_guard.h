// The span in which a lookup's pipes exist with their write ends still in
// the parent: no fork through the C library on another thread may copy them.
#pragma once

#include <signal.h>

namespace kelvar::lookup::posix {

// Held from just before the pipes are made to just after the parent has
// closed its write ends. A fork that another thread starts through the C
// library meanwhile waits in its prepare handler until every such span has
// ended, so the copy it makes holds no write end, and the reader's end of
// file never waits for a process that has nothing to do with `where`.
// Within the span nothing may fork (vfork and posix_spawn run no fork
// handlers) or take a lock that a forking thread may hold, the
// interpreter's included.
class PipeWindow {
 public:
  PipeWindow() noexcept;
  PipeWindow(const PipeWindow&) = delete;
  PipeWindow& operator=(const PipeWindow&) = delete;
  ~PipeWindow() { close(); }

  // Ends the span early; the destructor then does nothing.
  void close() noexcept;

 private:
  bool holds_ = false;
  bool masked_ = false;
  sigset_t previous_{};
};

}  // namespace kelvar::lookup::posix
