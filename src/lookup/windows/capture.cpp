#include "lookup/windows/capture.h"

namespace kelvar::lookup {

Handle Capture::open(std::wstring_view stream_tag, DWORD& error) {
  event_ = Handle(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  error = GetLastError();
  if (!event_) return Handle();
  for (int attempt = 0; attempt < 16; ++attempt) {
    const std::wstring name = unique_pipe_name(stream_tag);
    // FIRST_PIPE_INSTANCE and a single instance: if anyone else holds or
    // grabs this name, the child's end cannot be opened by them or by a
    // stranger in between. The parent's end is never inheritable.
    pipe_ = Handle(CreateNamedPipeW(
        name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0,
        buffer_size, 0, nullptr));
    if (!pipe_) {
      error = GetLastError();
      if (error != ERROR_ACCESS_DENIED && error != ERROR_PIPE_BUSY) return Handle();
      continue;
    }
    Handle child(CreateFileW(name.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES, 0, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    error = GetLastError();
    if (!child) pipe_.reset();
    return child;
  }
  return Handle();
}

bool Capture::start_read() {
  if (done_) return false;
  overlapped_ = OVERLAPPED{};
  overlapped_.hEvent = event_.get();
  // A read that completes at once still signals the event, so the result
  // is always collected in complete_read(); no second path for it.
  if (!ReadFile(pipe_.get(), buffer_->data(), buffer_size, nullptr, &overlapped_)) {
    const DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING) {
      finish(error);
      return false;
    }
  }
  pending_ = true;
  return true;
}

void Capture::complete_read() {
  DWORD count = 0;
  const BOOL ok = GetOverlappedResult(pipe_.get(), &overlapped_, &count, FALSE);
  const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
  pending_ = false;
  if (!ok) {
    finish(error);
    return;
  }
  data_.append(buffer_->data(), count);
  start_read();
}

void Capture::collect_rest() {
  while (pending_) {
    if (WaitForSingleObject(event_.get(), 0) == WAIT_OBJECT_0) {
      complete_read();
      continue;
    }
    DWORD available = 0;
    const bool peeked =
        PeekNamedPipe(pipe_.get(), nullptr, 0, nullptr, &available, nullptr) != FALSE;
    // Nothing left to read; or a broken pipe, whose read ends at once.
    if (peeked && available == 0) break;
    if (WaitForSingleObject(event_.get(), wait_interval) != WAIT_OBJECT_0) break;
  }
  abandon();
}

void Capture::abandon() noexcept {
  if (pending_) {
    CancelIoEx(pipe_.get(), &overlapped_);
    DWORD count = 0;
    GetOverlappedResult(pipe_.get(), &overlapped_, &count, TRUE);
    pending_ = false;
  }
  done_ = true;
  pipe_.reset();
}

std::wstring Capture::unique_pipe_name(std::wstring_view stream_tag) {
  LARGE_INTEGER now{};
  QueryPerformanceCounter(&now);
  std::wstring name = L"\\\\.\\pipe\\kelvar-where-";
  name += std::to_wstring(GetCurrentProcessId());
  name += L'-';
  name += std::to_wstring(GetCurrentThreadId());
  name += L'-';
  name += std::to_wstring(static_cast<unsigned long long>(now.QuadPart));
  name += L'-';
  name += stream_tag;
  return name;
}

}  // namespace kelvar::lookup
