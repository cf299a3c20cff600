// The process runner on Windows. A run has three steps: start the child in a
// job of its own with only its three standard handles, drain both captured
// streams through overlapped pipes, and wait for the exit.

#include "lookup/windows/api.h"

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "lookup/process.h"
#include "lookup/runner.h"
#include "lookup/windows/capture.h"
#include "lookup/windows/console.h"
#include "lookup/windows/system.h"
#include "lookup/windows/text.h"

namespace kelvar::lookup {
namespace {

const DWORD stop_wait = static_cast<DWORD>(stop_check_interval.count());
// Once the child has exited while a stream is still open, how often the job
// is asked whether anything the child started is still alive: no event
// tells when the job empties.
constexpr DWORD job_poll = 5;  // milliseconds
constexpr int start_attempts = 4;
constexpr const char* starting_step = "starting the program";

// A start that fails because another thread of the host freed its console
// during it: worth another try, since the host's console, never the table,
// should decide the answer.
bool console_went_during(const OsFailure& failure) {
  return failure.step == starting_step && failure.code == ERROR_INVALID_HANDLE;
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

// A job that kills every process in it when its last handle closes. The
// child is put in one of its own so that it cannot outlive the run, even
// when the run itself never ends: a lookup on a daemon thread is frozen
// when the interpreter exits, its kill-and-reap step never runs, and only
// the handle that the system closes with the process still ends the child.
// The handle is created not inheritable, so no other child of this process,
// started at the same time with handle inheritance, can keep the job (and
// with it this child) alive. It also counts the child's descendants, which
// tells when nothing that could still write to the pipes is alive.
Handle new_kill_on_close_job(DWORD& error) {
  Handle job(CreateJobObjectW(nullptr, nullptr));
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!job || !SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                       sizeof(limits))) {
    error = GetLastError();
    return Handle();
  }
  return job;
}

// What `where` started and left running when it exited runs on after a run
// that completed, as subprocess.run leaves it: the job stops killing on
// close. Only a run that is abandoned, or the host's end, still ends them.
void leave_descendants_running(HANDLE job) noexcept {
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits));
}

// Whether no process of the job is alive. A system that refuses the query
// answers no, and the streams are then read to their end.
bool job_is_empty(HANDLE job) {
  JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
  return QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting,
                                   sizeof(accounting), nullptr) != FALSE &&
         accounting.ActiveProcesses == 0;
}

// The handles the child is given: standard input from the null device and
// the write ends of both pipes, none of them inheritable yet.
struct ChildEnds {
  Handle in;
  Handle out;
  Handle err;
};

// The started child and its job, killed and waited for on every way out of
// a run.
struct Child {
  Handle job;
  Handle process;

  Child() = default;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() { kill_and_reap(); }

  // Kills the child and waits until it is gone, so nothing it does outlives
  // the run; a child that already exited makes TerminateProcess fail, which
  // changes nothing.
  void kill_and_reap() noexcept {
    if (!process) return;
    TerminateProcess(process.get(), 1);
    WaitForSingleObject(process.get(), INFINITE);
  }
};

// The steps return the failure that ends the run, or no failure.
OsFailure open_ends(Capture& out, Capture& err, ChildEnds& ends) {
  ends.in = Handle(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!ends.in) return {"opening the null device", GetLastError()};
  DWORD error = ERROR_SUCCESS;
  ends.out = out.open(L"out", error);
  if (!ends.out) return {"creating the standard output pipe", error};
  ends.err = err.open(L"err", error);
  if (!ends.err) return {"creating the standard error pipe", error};
  return {};
}

// Inheritable only for the start: another thread of the host that starts
// a program with handle inheritance (subprocess with close_fds=False,
// os.spawnv) in this moment would give it a write end, and the pipe would
// not end before that program does. The handle list keeps them from any
// other child of ours; the job's count of live processes lets the drain end
// without waiting for such a stranger.
bool set_inheritable(const ChildEnds& ends, bool inheritable) {
  const DWORD flag = inheritable ? HANDLE_FLAG_INHERIT : 0;
  for (const Handle* h : {&ends.in, &ends.out, &ends.err}) {
    if (!SetHandleInformation(h->get(), HANDLE_FLAG_INHERIT, flag)) return false;
  }
  return true;
}

// Creates the child, suspended, with `attributes`, the console that
// `console` gives it and the three ends as its standard handles.
OsFailure create_process(const PreparedRun& prepared, const ChildEnds& ends,
                         LPPROC_THREAD_ATTRIBUTE_LIST attributes, DWORD console,
                         PROCESS_INFORMATION& info) {
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof(startup);
  startup.lpAttributeList = attributes;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = ends.in.get();
  startup.StartupInfo.hStdOutput = ends.out.get();
  startup.StartupInfo.hStdError = ends.err.get();
  start_hidden(startup.StartupInfo);
  if (!set_inheritable(ends, true)) {
    return {"making the child's handles inheritable", GetLastError()};
  }
  const DWORD flags = EXTENDED_STARTUPINFO_PRESENT | CREATE_SUSPENDED | console;
  BOOL started = FALSE;
  DWORD error = ERROR_SUCCESS;
  // Under Wine on a loaded machine a start fails now and then with
  // ERROR_INTERNAL_ERROR: the new process died while Wine was still setting
  // it up, and no process is left of it (subprocess.run fails the same way).
  // Such a start is tried again; any other failure is final.
  for (int attempt = 0; attempt < start_attempts && !started; ++attempt) {
    // CreateProcessW may write into the command line, so it gets a copy.
    std::wstring command_line = prepared.command_line;
    started = CreateProcessW(prepared.program.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                             flags, nullptr, nullptr, &startup.StartupInfo, &info);
    error = GetLastError();
    if (error != ERROR_INTERNAL_ERROR) break;
  }
  set_inheritable(ends, false);
  if (!started) return {starting_step, error};
  return {};
}

// Creates the child, suspended, in the console that the host's console
// calls for. A child that may have got a console of its own because the
// host lost its console meanwhile has not run yet: it is ended and started
// again, the last time without a window in any case.
OsFailure create_in_console(const PreparedRun& prepared, const ChildEnds& ends,
                            LPPROC_THREAD_ATTRIBUTE_LIST attributes, Child& child, Handle& thread) {
  for (int attempt = 1;; ++attempt) {
    const DWORD console = attempt < start_attempts ? console_flags() : windowless_console;
    PROCESS_INFORMATION info{};
    if (const OsFailure failure = create_process(prepared, ends, attributes, console, info)) {
      return failure;
    }
    child.process = Handle(info.hProcess);
    thread = Handle(info.hThread);
    if (!console_lost(console)) return {};
    child.kill_and_reap();
  }
}

// Step 1: starts the child inside a job of its own, with only its three
// standard handles, and lets go of the parent's copies of them.
OsFailure start(const PreparedRun& prepared, ChildEnds& ends, Child& child) {
  DWORD error = ERROR_SUCCESS;
  child.job = new_kill_on_close_job(error);
  if (!child.job) return {"creating the job", error};
  // Only these three handles reach the child. Without the list the child
  // would inherit every inheritable handle of the process, among them the
  // pipe ends of lookups running at the same time on other threads.
  std::array<HANDLE, 3> inherited{ends.in.get(), ends.out.get(), ends.err.get()};
  AttributeList attributes;
  if (!attributes.init(2) ||
      !UpdateProcThreadAttribute(attributes.get(), 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                 inherited.data(), sizeof(inherited), nullptr, nullptr)) {
    return {"setting up the handle list", GetLastError()};
  }
  // The child is born inside the job where the system allows it (Windows 10
  // on). Put in afterwards, it would be outside for a moment: a thread ended
  // in that moment (a daemon thread when the interpreter exits) leaves a
  // child that nothing ever kills. Elsewhere it is created suspended and put
  // in the job before it runs a single instruction, so that no grandchild it
  // starts at once escapes the job either.
  HANDLE job_handle = child.job.get();
  const bool born_in_job =
      UpdateProcThreadAttribute(attributes.get(), 0, PROC_THREAD_ATTRIBUTE_JOB_LIST, &job_handle,
                                sizeof(job_handle), nullptr, nullptr) != FALSE;
  Handle thread;
  const OsFailure failure = create_in_console(prepared, ends, attributes.get(), child, thread);
  // The parent's copies of the child's ends go at once: the streams end
  // only when every write end is closed, and ours would keep them open.
  ends = ChildEnds{};
  if (failure) return failure;
  // A child outside the job could outlive the interpreter; it is not let run.
  const char* step = "putting the child in its job";
  if (born_in_job || AssignProcessToJobObject(child.job.get(), child.process.get())) {
    step = "resuming the child";
    if (ResumeThread(thread.get()) != static_cast<DWORD>(-1)) return {};
  }
  const OsFailure refused{step, GetLastError()};
  child.kill_and_reap();
  return refused;
}

// Step 2: reads both streams until each has ended, or until the child and
// everything it started are gone and what they wrote has been read.
DrainOutcome drain(Capture& out, Capture& err, const Child& child, StopPolicy& policy) {
  out.start_read();
  err.start_read();
  bool exited = false;
  for (;;) {
    // A read that fails is a failed run, whose answer is the fallback: the
    // pipes are ours alone, so what breaks them is an outside hand (another
    // thread of the host calling CancelIoEx on every handle, say), never a
    // fault of the module that should end the call.
    for (const Capture* capture : {&out, &err}) {
      if (!capture->failed()) continue;
      return failed_run({capture == &out ? "reading the standard output of the child"
                                         : "reading the standard error of the child",
                         capture->failure()});
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
    if (count == 0) return Captured{out.take(), err.take()};
    if (!exited) waits[count++] = child.process.get();
    const DWORD timeout = exited ? job_poll : stop_wait;
    const DWORD woke = WaitForMultipleObjects(count, waits.data(), FALSE, timeout);
    if (woke == WAIT_FAILED) return failed_run({"waiting for the child's output", GetLastError()});
    if (woke < WAIT_OBJECT_0 + count) {
      Capture* owner = owners[woke - WAIT_OBJECT_0];
      if (owner != nullptr) owner->complete_read();
      exited = exited || owner == nullptr;
    }
    if (exited && job_is_empty(child.job.get())) {
      out.collect_rest();
      err.collect_rest();
    }
    // A child that writes without pause never lets the wait time out; the
    // policy keeps the interval by the clock then.
    const bool full_wait = woke == WAIT_TIMEOUT && timeout == stop_wait;
    if (full_wait ? policy.ask() : policy.ask_if_due()) return stopped_run();
  }
}

// Step 3: the streams have ended, but the child may still run (it can close
// them before it exits): waits for it and takes its exit code.
RunResult wait_for_exit(const Child& child, StopPolicy& policy, Captured captured) {
  for (;;) {
    const DWORD woke = WaitForSingleObject(child.process.get(), stop_wait);
    if (woke == WAIT_OBJECT_0) break;
    if (woke != WAIT_TIMEOUT) return failed_run({"waiting for the child to exit", GetLastError()});
    if (policy.ask()) return stopped_run();
  }
  DWORD code = 0;
  if (!GetExitCodeProcess(child.process.get(), &code)) {
    return failed_run({"reading the exit code", GetLastError()});
  }
  return completed_run(code, std::move(captured));
}

// Steps 2 and 3, and what is left of the child afterwards.
RunResult finish(Capture& out, Capture& err, Child& child, const StopCheck& should_stop) {
  StopPolicy policy(should_stop);
  DrainOutcome drained = drain(out, err, child, policy);
  RunResult result = std::holds_alternative<Captured>(drained)
                         ? wait_for_exit(child, policy, std::get<Captured>(std::move(drained)))
                         : std::get<RunResult>(std::move(drained));
  if (result.status != RunStatus::completed) {
    child.kill_and_reap();
    // A grandchild may still hold the write ends; the reads are cancelled
    // rather than waited for.
    out.abandon();
    err.abandon();
    return result;
  }
  leave_descendants_running(child.job.get());
  return result;
}

}  // namespace

ChildGroup group_for_this_thread() noexcept {
  return ChildGroup::own;
}

RunResult run(const PreparedRun& prepared, const StopCheck& should_stop, ChildGroup /*group*/) {
  for (int attempt = 1;; ++attempt) {
    Capture out;
    Capture err;
    ChildEnds ends;
    Child child;
    if (const OsFailure failure = open_ends(out, err, ends)) return failed_run(failure);
    const OsFailure failure = start(prepared, ends, child);
    // Each try gets new pipes and a new job: under Wine the failed start can
    // leave a process that never runs, counted in the job and holding the
    // write ends, which the reads would wait for forever.
    if (failure && console_went_during(failure) && attempt < start_attempts) continue;
    if (failure) return failed_run(failure);
    return finish(out, err, child, should_stop);
  }
}

}  // namespace kelvar::lookup
