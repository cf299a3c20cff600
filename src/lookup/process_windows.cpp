// The process runner on Windows: program search, command-line quoting, and a
// run that captures both output streams through overlapped pipes.

#include "common/windows_api.h"

#include <array>
#include <climits>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "lookup/process.h"
#include "lookup/windows_text.h"

namespace kelvar::lookup {
namespace {

// Owns one kernel handle. Both "no handle" values of the API (null and
// INVALID_HANDLE_VALUE) are kept as null, so a failed open never reaches
// CloseHandle.
class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE h) noexcept : h_(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  Handle(Handle&& other) noexcept : h_(std::exchange(other.h_, nullptr)) {}
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) {
      reset();
      h_ = std::exchange(other.h_, nullptr);
    }
    return *this;
  }
  ~Handle() { reset(); }

  HANDLE get() const noexcept { return h_; }
  explicit operator bool() const noexcept { return h_ != nullptr; }
  void reset() noexcept {
    if (h_ != nullptr) CloseHandle(h_);
    h_ = nullptr;
  }

 private:
  HANDLE h_ = nullptr;
};

// "Access is denied. (os error 5)": the system's own message, so that a
// read failure can be told apart in a report.
std::string describe_error(DWORD code) {
  wchar_t* message = nullptr;
  const DWORD len = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
  std::wstring_view text(message != nullptr ? message : L"", len);
  while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ')) {
    text.remove_suffix(1);
  }
  std::string out = to_utf8(text).value_or(std::string());
  if (message != nullptr) LocalFree(message);
  if (!out.empty()) out += ' ';
  out += "(os error " + std::to_string(code) + ")";
  return out;
}

// The directory part of `path`, without its final separator; empty when the
// path has none.
std::wstring parent_directory(const std::wstring& path) {
  const std::size_t cut = path.find_last_of(L"\\/");
  return cut == std::wstring::npos ? std::wstring() : path.substr(0, cut);
}

std::optional<std::wstring> host_directory() {
  // The API truncates silently (returning the buffer size) when the path is
  // longer than the buffer, so grow until the answer is shorter than it.
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD size = static_cast<DWORD>(buffer.size());
    const DWORD len = GetModuleFileNameW(nullptr, buffer.data(), size);
    if (len == 0) return std::nullopt;
    if (len < size) {
      buffer.resize(len);
      return parent_directory(buffer);
    }
    if (buffer.size() >= 32768 * 2) return std::nullopt;
    buffer.resize(buffer.size() * 2);
  }
}

// Both directory queries answer the needed size, including the terminator,
// when the buffer is too small.
template <UINT(WINAPI* Query)(LPWSTR, UINT)>
std::optional<std::wstring> system_path() {
  std::wstring buffer;
  UINT needed = Query(nullptr, 0);
  for (int attempt = 0; attempt < 4 && needed != 0; ++attempt) {
    buffer.assign(needed, L'\0');
    const UINT len = Query(buffer.data(), needed);
    if (len == 0) return std::nullopt;
    if (len < needed) {
      buffer.resize(len);
      return buffer;
    }
    needed = len;
  }
  return std::nullopt;
}

std::optional<std::wstring> environment_variable(const wchar_t* name) {
  // Another thread may change the variable between the size query and the
  // read; the read then reports the new size, and the loop tries again.
  std::wstring buffer;
  DWORD needed = GetEnvironmentVariableW(name, nullptr, 0);
  for (int attempt = 0; attempt < 8; ++attempt) {
    if (needed == 0) return std::nullopt;
    buffer.assign(needed, L'\0');
    const DWORD len = GetEnvironmentVariableW(name, buffer.data(), needed);
    if (len == 0) {
      if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
      return std::wstring();
    }
    if (len < needed) {
      buffer.resize(len);
      return buffer;
    }
    needed = len;
  }
  return std::nullopt;
}

// Splits a PATH value the way the command interpreter reads it: ';'
// separates entries except inside double quotes, which are removed; empty
// entries name nothing.
std::vector<std::wstring> split_search_path(std::wstring_view value) {
  std::vector<std::wstring> entries;
  std::wstring current;
  bool quoted = false;
  for (const wchar_t c : value) {
    if (c == L'"') {
      quoted = !quoted;
    } else if (c == L';' && !quoted) {
      if (!current.empty()) entries.push_back(std::move(current));
      current.clear();
    } else {
      current.push_back(c);
    }
  }
  if (!current.empty()) entries.push_back(std::move(current));
  return entries;
}

std::wstring join_path(const std::wstring& directory, const std::wstring& file) {
  if (directory.empty()) return file;
  const wchar_t last = directory.back();
  if (last == L'\\' || last == L'/') return directory + file;
  return directory + L'\\' + file;
}

// A directory that happens to carry the program's name cannot be started,
// so it does not end the search.
bool is_existing_file(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::optional<std::wstring> find_program(const std::wstring& file_name) {
  std::vector<std::wstring> directories;
  if (auto dir = host_directory()) directories.push_back(std::move(*dir));
  if (auto dir = system_path<GetSystemDirectoryW>()) directories.push_back(std::move(*dir));
  if (auto dir = system_path<GetWindowsDirectoryW>()) directories.push_back(std::move(*dir));
  if (auto path = environment_variable(L"PATH")) {
    for (std::wstring& entry : split_search_path(*path)) directories.push_back(std::move(entry));
  }
  for (const std::wstring& directory : directories) {
    std::wstring candidate = join_path(directory, file_name);
    if (is_existing_file(candidate)) return candidate;
  }
  return std::nullopt;
}

// Appends `argument` quoted for the C runtime's parser: backslashes are
// literal except in front of a quotation mark, where 2n backslashes stand
// for n and 2n+1 for n followed by a literal quotation mark. The argument is
// always quoted, so that an empty one or one holding blanks stays a single
// argument; the backslashes in front of the closing quotation mark are
// doubled so that it is not read as a literal one.
void append_quoted(std::wstring& command_line, std::wstring_view argument) {
  command_line.push_back(L'"');
  std::size_t backslashes = 0;
  for (const wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') {
      command_line.append(backslashes * 2 + 1, L'\\');
    } else {
      command_line.append(backslashes, L'\\');
    }
    backslashes = 0;
    command_line.push_back(c);
  }
  command_line.append(backslashes * 2, L'\\');
  command_line.push_back(L'"');
}

// Deletes an initialised attribute list when the run ends, however it ends.
class AttributeList {
 public:
  AttributeList() = default;
  AttributeList(const AttributeList&) = delete;
  AttributeList& operator=(const AttributeList&) = delete;
  ~AttributeList() {
    if (initialised_) DeleteProcThreadAttributeList(get());
  }

  bool init(DWORD count) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, count, 0, &size);
    if (size == 0) return false;
    storage_ = std::make_unique<std::byte[]>(size);
    initialised_ = InitializeProcThreadAttributeList(get(), count, 0, &size) != FALSE;
    return initialised_;
  }
  LPPROC_THREAD_ATTRIBUTE_LIST get() const noexcept {
    return reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.get());
  }

 private:
  std::unique_ptr<std::byte[]> storage_;
  bool initialised_ = false;
};

// One captured stream: the parent's end of a pipe, read with overlapped I/O
// so that a single thread can wait for both streams, the child and the
// stop check at once, and can abandon a read that a grandchild keeps open.
class Capture {
 public:
  Capture() = default;
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;
  // The kernel writes into `buffer_` and `overlapped_` until a pending read
  // completes, so they must outlive it: cancel and wait before they go.
  ~Capture() { abandon(); }

  // Creates the pipe and returns the child's end: inheritable, synchronous
  // (the child's C runtime expects that) and write-only.
  Handle open(std::wstring_view stream_tag) {
    event_ = Handle(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event_) return Handle();
    for (int attempt = 0; attempt < 16 && !pipe_; ++attempt) {
      const std::wstring name = unique_pipe_name(stream_tag);
      // FIRST_PIPE_INSTANCE and a single instance: if anyone else holds or
      // grabs this name, the child's end cannot be opened by them or by a
      // stranger in between. The parent's end is never inheritable, not
      // even for a moment, so no child of a concurrent spawn can keep the
      // pipe open and delay its end.
      pipe_ = Handle(CreateNamedPipeW(
          name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
          PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0,
          kBufferSize, 0, nullptr));
      if (!pipe_) {
        const DWORD error = GetLastError();
        if (error != ERROR_ACCESS_DENIED && error != ERROR_PIPE_BUSY) return Handle();
        continue;
      }
      SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
      Handle child(CreateFileW(name.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES, 0, &inherit,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
      if (!child) pipe_.reset();
      return child;
    }
    return Handle();
  }

  // Starts the next read. Returns false when the stream has ended or failed.
  bool start_read() {
    if (done_) return false;
    overlapped_ = OVERLAPPED{};
    overlapped_.hEvent = event_.get();
    // A read that completes at once still signals the event, so the result
    // is always collected in complete_read(); no second path for it.
    if (!ReadFile(pipe_.get(), buffer_->data(), kBufferSize, nullptr, &overlapped_)) {
      const DWORD error = GetLastError();
      if (error != ERROR_IO_PENDING) {
        finish(error);
        return false;
      }
    }
    pending_ = true;
    return true;
  }

  // Collects the read whose event is signalled, and starts the next one.
  void complete_read() {
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

  void abandon() noexcept {
    if (pending_) {
      CancelIoEx(pipe_.get(), &overlapped_);
      DWORD count = 0;
      GetOverlappedResult(pipe_.get(), &overlapped_, &count, TRUE);
      pending_ = false;
    }
    done_ = true;
    pipe_.reset();
  }

  bool reading() const noexcept { return pending_; }
  HANDLE event() const noexcept { return event_.get(); }
  bool failed() const noexcept { return failure_ != ERROR_SUCCESS; }
  DWORD failure() const noexcept { return failure_; }
  std::string take() { return std::move(data_); }

 private:
  static constexpr DWORD kBufferSize = 64 * 1024;

  // Unique among live pipes: the process and thread ids tell runs in
  // progress apart, and the counter value tells this run from an earlier
  // one of the same thread whose pipe a grandchild may still hold.
  static std::wstring unique_pipe_name(std::wstring_view stream_tag) {
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

  void finish(DWORD error) {
    // The end of the stream: every writer, the child and whatever it left
    // behind, has closed its end.
    if (error != ERROR_BROKEN_PIPE && error != ERROR_HANDLE_EOF) failure_ = error;
    done_ = true;
  }

  Handle pipe_;
  Handle event_;
  OVERLAPPED overlapped_{};
  std::unique_ptr<std::array<char, kBufferSize>> buffer_ =
      std::make_unique<std::array<char, kBufferSize>>();
  std::string data_;
  bool pending_ = false;
  bool done_ = false;
  DWORD failure_ = ERROR_SUCCESS;
};

// Kills the child and waits until it is gone, so nothing it does outlives
// the run; a child that already exited makes TerminateProcess fail, which
// changes nothing.
void kill_and_reap(HANDLE process) noexcept {
  TerminateProcess(process, 1);
  WaitForSingleObject(process, INFINITE);
}

constexpr DWORD kStopCheckInterval = 100;       // milliseconds
constexpr std::size_t kMaxCommandLine = 32767;  // characters, the terminator included

// A job that kills every process in it when its last handle closes. The
// child is put in one of its own so that it cannot outlive the run, even
// when the run itself never ends: a lookup on a daemon thread is frozen
// when the interpreter exits, its kill-and-reap step never runs, and only
// the handle that the system closes with the process still ends the child.
// The handle is created not inheritable, so no other child of this process,
// started at the same time with handle inheritance, can keep the job (and
// with it this child) alive.
Handle new_kill_on_close_job() {
  Handle job(CreateJobObjectW(nullptr, nullptr));
  if (!job) return Handle();
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                               sizeof(limits))) {
    return Handle();
  }
  return job;
}

}  // namespace

std::optional<PreparedRun> prepare_run(std::string_view program, std::string_view argument) {
  if (argument.find('\0') != std::string_view::npos) return std::nullopt;
  if (program.find('\0') != std::string_view::npos) return std::nullopt;
  const std::optional<std::wstring> wide_program = to_wide(program, CP_UTF8);
  const std::optional<std::wstring> wide_argument = to_wide(argument, CP_UTF8);
  if (!wide_program || wide_program->empty() || !wide_argument) return std::nullopt;

  std::optional<std::wstring> path = find_program(*wide_program + L".exe");
  if (!path) return std::nullopt;

  PreparedRun prepared;
  // The program's own name is read by the C runtime with simpler rules:
  // everything up to the next quotation mark, backslashes literal. A
  // Windows path cannot hold a quotation mark, so quoting it is enough.
  prepared.command_line = L"\"" + *path + L"\" ";
  append_quoted(prepared.command_line, *wide_argument);
  // A command line holds at most 32,767 characters with its terminator.
  // Past that, some systems refuse the start and others (Wine) cut the
  // line short, and the child would look up a query nobody asked for, with
  // its closing quotation mark lost: such a query cannot be passed.
  if (prepared.command_line.size() >= kMaxCommandLine) return std::nullopt;
  prepared.program = std::move(*path);
  return prepared;
}

RunResult run(const PreparedRun& prepared, const StopCheck& should_stop) {
  RunResult result;

  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  Handle child_in(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  Capture out;
  Capture err;
  Handle child_out = out.open(L"out");
  Handle child_err = err.open(L"err");
  if (!child_in || !child_out || !child_err) return result;

  // Only these three handles reach the child. Without the list the child
  // would inherit every inheritable handle of the process, among them the
  // pipe ends of lookups running at the same time on other threads, and
  // would keep their streams from ending until it exits.
  std::array<HANDLE, 3> inherited{child_in.get(), child_out.get(), child_err.get()};
  AttributeList attributes;
  if (!attributes.init(2) ||
      !UpdateProcThreadAttribute(attributes.get(), 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                 inherited.data(), sizeof(inherited), nullptr, nullptr)) {
    return result;
  }

  Handle job = new_kill_on_close_job();
  if (!job) return result;
  // The child is born inside the job where the system allows it (Windows 10
  // on). Put in afterwards, it would be outside for a moment: a thread ended
  // in that moment (a daemon thread when the interpreter exits) leaves a
  // child that nothing ever kills. Elsewhere it is created suspended and put
  // in the job before it runs a single instruction, so that no grandchild it
  // starts at once escapes the job either.
  HANDLE job_handle = job.get();
  const bool born_in_job =
      UpdateProcThreadAttribute(attributes.get(), 0, PROC_THREAD_ATTRIBUTE_JOB_LIST, &job_handle,
                                sizeof(job_handle), nullptr, nullptr) != FALSE;

  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof(startup);
  startup.lpAttributeList = attributes.get();
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = child_in.get();
  startup.StartupInfo.hStdOutput = child_out.get();
  startup.StartupInfo.hStdError = child_err.get();

  // CreateProcessW may write into the command line, so it gets a copy.
  std::wstring command_line = prepared.command_line;
  PROCESS_INFORMATION info{};
  // No window: a host without a console (a GUI or a service) would
  // otherwise flash one up for every lookup.
  const DWORD flags = EXTENDED_STARTUPINFO_PRESENT | CREATE_NO_WINDOW |
                      (born_in_job ? 0 : static_cast<DWORD>(CREATE_SUSPENDED));
  const BOOL started =
      CreateProcessW(prepared.program.c_str(), command_line.data(), nullptr, nullptr, TRUE, flags,
                     nullptr, nullptr, &startup.StartupInfo, &info);
  // The parent's copies of the child's ends go at once: the streams end
  // only when every write end is closed, and ours would keep them open.
  child_in.reset();
  child_out.reset();
  child_err.reset();
  if (!started) return result;
  Handle process(info.hProcess);
  Handle thread(info.hThread);
  // A child outside the job could outlive the interpreter; it is not let run.
  if (!born_in_job && (!AssignProcessToJobObject(job.get(), process.get()) ||
                       ResumeThread(thread.get()) == static_cast<DWORD>(-1))) {
    kill_and_reap(process.get());
    return result;
  }
  thread.reset();

  out.start_read();
  err.start_read();

  bool exited = false;
  ULONGLONG last_check = GetTickCount64();
  for (;;) {
    for (const Capture* capture : {&out, &err}) {
      if (!capture->failed()) continue;
      kill_and_reap(process.get());
      result.status = RunStatus::read_error;
      result.error = std::string("reading the standard ") + (capture == &out ? "output" : "error") +
                     " of the child failed: " + describe_error(capture->failure());
      return result;
    }
    std::array<HANDLE, 3> waits{};
    std::array<Capture*, 3> owners{};
    DWORD count = 0;
    for (Capture* capture : {&out, &err}) {
      if (capture->reading()) {
        owners[count] = capture;
        waits[count++] = capture->event();
      }
    }
    if (!exited) waits[count++] = process.get();
    if (count == 0) break;

    const DWORD woke = WaitForMultipleObjects(count, waits.data(), FALSE, kStopCheckInterval);
    if (woke == WAIT_FAILED) {
      kill_and_reap(process.get());
      return result;
    }
    if (woke < WAIT_OBJECT_0 + count) {
      const DWORD index = woke - WAIT_OBJECT_0;
      if (owners[index] != nullptr) {
        owners[index]->complete_read();
      } else {
        exited = true;
      }
    }
    // A child that writes without pause never lets the wait time out, so
    // the interval is also kept by the clock.
    const ULONGLONG now = GetTickCount64();
    if (woke == WAIT_TIMEOUT || now - last_check >= kStopCheckInterval) {
      last_check = now;
      if (should_stop && should_stop()) {
        kill_and_reap(process.get());
        // A grandchild may still hold the write ends; the reads are
        // cancelled rather than waited for.
        out.abandon();
        err.abandon();
        result.status = RunStatus::stopped;
        return result;
      }
    }
  }

  DWORD code = 0;
  if (!GetExitCodeProcess(process.get(), &code)) return result;
  result.status = RunStatus::completed;
  result.exit_code = code;
  result.out = out.take();
  result.err = err.take();
  return result;
}

}  // namespace kelvar::lookup
