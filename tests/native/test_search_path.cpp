// The rule for what counts as a program, shared by the lookup and the
// stand-in `where`: what exec would start for the effective ids, even where a
// sandbox refuses the call that asks the kernel.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "check.h"
#include "lookup/posix/search_path.h"

#if defined(__linux__) && defined(__x86_64__)
#include <grp.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <cstddef>

namespace {

constexpr long faccessat2_call = 439;  // x86_64; older headers do not name it

// Makes faccessat and faccessat2 fail with `error`, as a container profile
// that does not know them does.
bool refuse_access_checks(int error) {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_faccessat, 2, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, faccessat2_call, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (static_cast<unsigned>(error) & 0xFFFF)),
  };
  sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

std::string file_with_mode(const std::string& path, mode_t mode) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd >= 0) {
    (void)!::write(fd, "#!/bin/sh\n", 10);
    ::close(fd);
  }
  ::chmod(path.c_str(), mode);
  return path;
}

}  // namespace

TEST_CASE(a_program_is_what_the_effective_ids_may_execute_even_when_the_check_is_refused) {
  if (::geteuid() != 0) return SKIP("needs root, to take other effective ids");
  char directory_template[] = "/tmp/kelvar-program-XXXXXX";
  const std::string dir = ::mkdtemp(directory_template);
  ::chmod(dir.c_str(), 0755);  // so that the other user can look inside
  const struct {
    std::string path;
    bool as_root, as_nobody;
  } rows[] = {
      {file_with_mode(dir + "/all", 0755), true, true},
      {file_with_mode(dir + "/owner", 0700), true, false},
      {file_with_mode(dir + "/group", 0710), true, false},
      {file_with_mode(dir + "/others", 0701), true, true},
      {file_with_mode(dir + "/none", 0644), false, false},
      {dir, false, false},  // a directory
      {dir + "/missing", false, false},
  };
  for (const int refusal : {0, EPERM, ENOSYS}) {
    for (const bool as_nobody : {false, true}) {
      const pid_t child = ::fork();
      if (child == 0) {
        if (refusal != 0 && !refuse_access_checks(refusal)) ::_exit(100);
        // Only the effective ids change; the real ones stay root's.
        if (as_nobody &&
            (::setgroups(0, nullptr) != 0 || ::setegid(65534) != 0 || ::seteuid(65534) != 0)) {
          ::_exit(101);
        }
        int wrong = 0;
        for (const auto& row : rows) {
          wrong += kelvar::lookup::posix::is_program_file(row.path.c_str()) !=
                   (as_nobody ? row.as_nobody : row.as_root);
        }
        ::_exit(wrong);
      }
      int status = 0;
      ::waitpid(child, &status, 0);
      CHECK_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0);
    }
  }
  for (const auto& row : rows) ::unlink(row.path.c_str());
  ::rmdir(dir.c_str());
}
#endif
