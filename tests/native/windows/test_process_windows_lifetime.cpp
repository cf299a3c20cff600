// The Windows process runner, driven through the fake `where` beside the test
// executable: children that outlive their streams or hang, runs on many
// threads and beside programs of the host, and handles left behind.

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "check.h"
#include "lookup/lookup.h"
#include "lookup/output.h"
#include "lookup/process.h"
#include "windows_test_support.h"

using kelvar::lookup::build_query;
using kelvar::lookup::first_reported_path;
using kelvar::lookup::RunStatus;
using namespace kelvar_test::win;

namespace {

// The fake's process, looked up by the id it wrote: whether it is gone.
bool process_has_ended(DWORD pid) {
  HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (h == nullptr) return true;  // no such process any more
  const bool ended = WaitForSingleObject(h, 0) == WAIT_OBJECT_0;
  CloseHandle(h);
  return ended;
}

// Kernel handle values are multiples of 4 from 4 up; a process with a few
// hundred handles stays far below the bound.
int open_handle_count() {
  int open = 0;
  for (ULONG_PTR value = 4; value < 0x40000; value += 4) {
    DWORD flags = 0;
    if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++open;
  }
  return open;
}

void wait_for_process(DWORD pid) {
  HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (h == nullptr) return;
  WaitForSingleObject(h, INFINITE);
  CloseHandle(h);
}

}  // namespace

TEST_CASE(windows_output_of_a_grandchild_is_read_to_its_end) {
  // The child exits at once; a grandchild it left holds the pipes and
  // writes later. The stream ends only when the grandchild lets go.
  ScratchDir dir(L"late");
  const std::wstring event_name = L"Local\\kelvar-late-" + std::to_wstring(GetCurrentProcessId());
  HANDLE release = CreateEventW(nullptr, TRUE, FALSE, event_name.c_str());
  CHECK(release != nullptr);
  if (release == nullptr) return;
  ScopedEnv event(L"KELVAR_FAKE_WHERE_EVENT", std::optional<std::wstring>(event_name));
  ScopedEnv grandchild(L"KELVAR_FAKE_WHERE_GRANDCHILD", "1");
  ScopedEnv late(L"KELVAR_FAKE_WHERE_LATE_HEX", hex("C:\\late\\one.exe\r\n"));
  ScopedEnv marker(L"KELVAR_FAKE_WHERE_MARKER", std::optional<std::wstring>(dir / L"marker"));
  const auto result = run_where("x.exe", [&] {
    if (exists(dir / L"marker")) SetEvent(release);
    return false;
  });
  CHECK(result.has_value());
  if (result) {
    CHECK(result->status == RunStatus::completed);
    CHECK_EQ(result->out, std::string("C:\\late\\one.exe\r\n"));
  }
  SetEvent(release);
  CloseHandle(release);
}

TEST_CASE(windows_should_stop_ends_a_hung_child) {
  for (const bool with_grandchild : {false, true}) {
    ScratchDir dir(L"hang");
    const std::wstring event_name = L"Local\\kelvar-hang-" +
                                    std::to_wstring(GetCurrentProcessId()) +
                                    (with_grandchild ? L"-g" : L"-c");
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, event_name.c_str());
    CHECK(release != nullptr);
    if (release == nullptr) return;
    ScopedEnv event(L"KELVAR_FAKE_WHERE_EVENT", std::optional<std::wstring>(event_name));
    ScopedEnv wait(L"KELVAR_FAKE_WHERE_WAIT", "1");
    ScopedEnv grandchild(L"KELVAR_FAKE_WHERE_GRANDCHILD",
                         with_grandchild ? std::optional<std::wstring>(L"1") : std::nullopt);
    const std::wstring marker_path = dir / L"marker";
    ScopedEnv marker(L"KELVAR_FAKE_WHERE_MARKER", std::optional<std::wstring>(marker_path));

    int asked = 0;
    const auto result = run_where("x.exe", [&] {
      ++asked;
      return exists(marker_path);
    });
    CHECK(result.has_value());
    if (result) CHECK(result->status == RunStatus::stopped);
    CHECK(asked >= 1);

    DWORD child = 0;
    DWORD grandchild_pid = 0;
    if (const auto text = read_file(marker_path)) {
      const std::size_t blank = text->find(' ');
      child = static_cast<DWORD>(std::stoul(text->substr(0, blank)));
      grandchild_pid = static_cast<DWORD>(std::stoul(text->substr(blank + 1)));
    }
    CHECK(child != 0);
    // Killed and reaped before run() returned, not merely abandoned.
    if (child != 0) CHECK(process_has_ended(child));
    CHECK_EQ(grandchild_pid != 0, with_grandchild);
    SetEvent(release);
    if (grandchild_pid != 0) wait_for_process(grandchild_pid);
    CloseHandle(release);
  }
}

TEST_CASE(windows_lookups_on_threads_each_get_their_own_answer) {
  // KELVAR_WIN_STRESS=THREADSxROUNDS makes this the stress check of a loaded
  // machine; every wrong answer is reported with the run's own reason.
  ScopedEnv echo(L"KELVAR_FAKE_WHERE_ECHO", "1");
  int threads_wanted = 6;
  int rounds = 4;
  if (const char* stress = std::getenv("KELVAR_WIN_STRESS")) {
    std::sscanf(stress, "%dx%d", &threads_wanted, &rounds);
  }
  const int thread_count = threads_wanted;
  std::vector<std::vector<std::string>> wrong(thread_count);
  std::vector<std::thread> threads;
  std::atomic<int> ready{0};
  for (int t = 0; t < thread_count; ++t) {
    threads.emplace_back([t, rounds, thread_count, &wrong, &ready] {
      // Start together, so the runs really overlap.
      ready.fetch_add(1);
      while (ready.load() < thread_count) std::this_thread::yield();
      for (int r = 0; r < rounds; ++r) {
        const std::string query =
            build_query("thread " + std::to_string(t) + " round " + std::to_string(r), false);
        const auto result = run_where(query);
        const auto answer = result ? first_reported_path(*result) : std::nullopt;
        if (answer == std::optional<std::string>(query)) continue;
        wrong[t].push_back(query + ": " +
                           (result ? "status " + std::to_string(static_cast<int>(result->status)) +
                                         ", " + step_of(result->failure) + " " +
                                         std::to_string(result->failure.code) + ", exit " +
                                         std::to_string(result->exit_code) + ", err " + result->err
                                   : "not prepared"));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < thread_count; ++t) {
    for (const std::string& line : wrong[t]) CHECK_EQ(line, std::string());
  }
}

TEST_CASE(windows_a_program_the_host_starts_meanwhile_never_delays_a_run) {
  // Another thread starts programs with handle inheritance and no handle
  // list, as subprocess with close_fds=False and os.spawnv do, while runs go
  // on: one started as a run's child is being created inherits its write
  // ends. Each holds on until released (or 60 s), so a run that waited for
  // one would outlast its hold: all must still be alive after the runs.
  const std::wstring event_name = L"Local\\kelvar-hold-" + std::to_wstring(GetCurrentProcessId());
  HANDLE release = CreateEventW(nullptr, TRUE, FALSE, event_name.c_str());
  CHECK(release != nullptr);
  const std::wstring program = executable_directory() + L"\\where.exe";
  std::vector<HANDLE> strangers;
  std::atomic<bool> running{true};
  std::thread spawner([&] {
    while (running.load() && strangers.size() < 40) {
      std::wstring command_line = L"\"" + program + L"\" --hold " + event_name;
      STARTUPINFOW startup{};
      startup.cb = sizeof(startup);
      PROCESS_INFORMATION info{};
      if (!CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                          DETACHED_PROCESS, nullptr, nullptr, &startup, &info)) {
        break;
      }
      CloseHandle(info.hThread);
      strangers.push_back(info.hProcess);
    }
  });
  for (int i = 0; i < 30; ++i) {
    const auto result = run_printing("C:\\held.exe\r\n");
    CHECK(result && result->status == RunStatus::completed);
    if (result) CHECK_EQ(result->out, std::string("C:\\held.exe\r\n"));
  }
  running.store(false);
  spawner.join();
  CHECK(strangers.size() >= 2);
  int ended = 0;
  for (HANDLE stranger : strangers) ended += WaitForSingleObject(stranger, 0) == WAIT_OBJECT_0;
  CHECK_EQ(ended, 0);
  SetEvent(release);
  for (HANDLE stranger : strangers) {
    WaitForSingleObject(stranger, INFINITE);
    CloseHandle(stranger);
  }
  CloseHandle(release);
}

TEST_CASE(windows_runs_leave_no_handle_behind) {
  // Every path closes what it opened; a leak shows as more open handles
  // after many runs. (Wine's GetProcessHandleCount always answers 0, so the
  // handles are counted by asking about every possible handle value.)
  const int before = open_handle_count();
  CHECK(before > 0);
  for (int i = 0; i < 20; ++i) {
    const auto result = run_printing("C:\\x.exe\r\n", static_cast<unsigned>(i % 3));
    CHECK(result.has_value());
    if (result) CHECK_EQ(step_of(result->failure), std::string("no failure"));
  }
  CHECK(!run_where(std::string("nul\0", 4)).has_value());
  CHECK_EQ(open_handle_count(), before);
}

TEST_CASE(windows_a_background_program_of_where_outlives_only_a_run_that_completed) {
  // As subprocess.run leaves it: what `where` started and left running when
  // it exited runs on; a stopped run ends it along with `where`.
  for (const bool stopped : {false, true}) {
    ScratchDir dir(L"background");
    const std::wstring event_name = L"Local\\kelvar-background-" +
                                    std::to_wstring(GetCurrentProcessId()) +
                                    (stopped ? L"-s" : L"");
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, event_name.c_str());
    CHECK(release != nullptr);
    if (release == nullptr) return;
    ScopedEnv event(L"KELVAR_FAKE_WHERE_EVENT", std::optional<std::wstring>(event_name));
    ScopedEnv background(L"KELVAR_FAKE_WHERE_BACKGROUND", "1");
    ScopedEnv wait(L"KELVAR_FAKE_WHERE_WAIT",
                   stopped ? std::optional<std::wstring>(L"1") : std::nullopt);
    const std::wstring marker_path = dir / L"marker";
    ScopedEnv marker(L"KELVAR_FAKE_WHERE_MARKER", std::optional<std::wstring>(marker_path));
    const auto result = run_where("x.exe", [&] { return stopped && exists(marker_path); });
    CHECK(result.has_value());
    if (result) CHECK(result->status == (stopped ? RunStatus::stopped : RunStatus::completed));
    DWORD program = 0;
    if (const auto text = read_file(marker_path)) {
      program = static_cast<DWORD>(std::stoul(text->substr(text->find(' ') + 1)));
    }
    CHECK(program != 0);
    HANDLE handle = OpenProcess(SYNCHRONIZE, FALSE, program);
    const bool running = handle != nullptr && WaitForSingleObject(handle, 0) == WAIT_TIMEOUT;
    CHECK_EQ(running, !stopped);
    SetEvent(release);
    if (handle != nullptr) {
      WaitForSingleObject(handle, INFINITE);
      CloseHandle(handle);
    }
    CloseHandle(release);
  }
}
