// where: lists the executable files on the search path whose names match
// wildcard patterns. It stands in, on POSIX systems, for the Windows utility
// of the same name, which the lookup of the extension module runs as a child
// and whose first line of output it takes as the command's path.
//
// Speed matters because every lookup starts this program afresh: a name
// without wildcards costs one stat per directory, and a directory is listed
// at most once however many patterns need it. Size matters because the wheel
// carries it: it uses neither streams nor the C++ library's strings and
// containers, whose runtime (exceptions, the terminate handler) would be most
// of the program when that runtime is linked in statically.

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

#include "common/utf8.h"
#include "lookup/posix/search_path.h"

namespace {

constexpr int exit_found = 0;
constexpr int exit_not_found = 1;
constexpr int exit_error = 2;

constexpr std::string_view help_text =
    "Usage: where PATTERN...\n"
    "       where --help\n"
    "\n"
    "Lists the executable files on the search path whose names match PATTERN.\n"
    "\n"
    "A pattern is a file name, compared byte for byte and case-sensitively, in\n"
    "which '*' matches any run of characters (none included, and a leading '.'\n"
    "too) and '?' exactly one character. A character is one well-formed UTF-8\n"
    "sequence; any other byte counts as a character of its own. A pattern must\n"
    "not be empty nor contain '/'. Every argument is a pattern, those that start\n"
    "with '-' included. A lone '--help' is searched for as well, and also shows\n"
    "this text, on standard error: standard output holds nothing but paths.\n"
    "\n"
    "The directories of PATH are searched in the order given, each as often as\n"
    "it is listed; an empty entry (leading, trailing or '::') is the current\n"
    "directory, as for the shell. When PATH is unset the system's default path\n"
    "is searched. Entries that do not exist or cannot be read are skipped.\n"
    "\n"
    "A file matches when it is a regular file, after following symbolic links,\n"
    "that the caller's effective user and groups may execute, as exec(2) decides\n"
    "(so for root some execute bit must be set). Each match is printed on a line\n"
    "of its own as the PATH entry, '/', and the name; an entry that already ends\n"
    "in '/' gets no second one (as os.path.join does), and an empty entry is\n"
    "printed as './'. Names are printed as the bytes they are, with no\n"
    "conversion.\n"
    "\n"
    "Order: pattern by pattern, as given on the command line; for each pattern,\n"
    "PATH entry by PATH entry; within a directory, by the byte order of the\n"
    "names. A file that matches several patterns is listed once for each.\n"
    "\n"
    "Exit status: 0 when any pattern matched, 1 when none did (nothing is\n"
    "printed then), 2 for a usage error or when the output cannot be written.\n";

// Byte count of the character that starts at `pos` (which must be inside
// `text`): a well-formed UTF-8 sequence is one character, any other byte is a
// character by itself, so that a name's characters do not depend on how
// lenient a decoder would be.
std::size_t char_length(std::string_view text, std::size_t pos) noexcept {
  const kelvar::common::Utf8Sequence sequence = kelvar::common::utf8_sequence_at(text, pos);
  return sequence.valid ? sequence.length : 1;
}

constexpr bool has_wildcard(std::string_view pattern) {
  return pattern.find_first_of("*?") != std::string_view::npos;
}

// Whether `name` matches `pattern` as a whole. Both are walked character by
// character; on a mismatch the last '*' takes one more character of the name
// and matching resumes after it. Retrying only the last '*' suffices because
// an earlier one could only give up characters that the later one can take,
// so the cost is at worst the product of the two lengths, never exponential.
bool matches(std::string_view pattern, std::string_view name) noexcept {
  constexpr std::size_t none = std::string_view::npos;
  std::size_t p = 0;
  std::size_t n = 0;
  std::size_t star_p = none;  // pattern position just after the last '*'
  std::size_t star_n = 0;     // name position where that '*' stopped taking
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star_p = ++p;
      star_n = n;
      continue;
    }
    if (p < pattern.size()) {
      const std::size_t name_len = char_length(name, n);
      if (pattern[p] == '?') {
        ++p;
        n += name_len;
        continue;
      }
      const std::size_t pattern_len = char_length(pattern, p);
      if (pattern_len == name_len &&
          std::memcmp(pattern.data() + p, name.data() + n, name_len) == 0) {
        p += pattern_len;
        n += name_len;
        continue;
      }
    }
    if (star_p == none) return false;
    star_n += char_length(name, star_n);
    n = star_n;
    p = star_p;
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

void write_all(int fd, std::string_view bytes) noexcept {
  while (!bytes.empty()) {
    const ssize_t written = write(fd, bytes.data(), bytes.size());
    if (written > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(written));
    } else if (written == 0 || errno != EINTR) {
      return;
    }
  }
}

// Without memory the search cannot go on, and a partial list must not pass
// for a whole one.
[[noreturn]] void out_of_memory() noexcept {
  write_all(STDERR_FILENO, "where: out of memory\n");
  _exit(exit_error);
}

// A growing run of bytes, kept NUL-terminated so that it can name a file.
class Text {
 public:
  Text() = default;
  Text(const Text&) = delete;
  Text& operator=(const Text&) = delete;
  ~Text() noexcept { std::free(data_); }

  Text& operator+=(std::string_view bytes) noexcept {
    if (size_ + bytes.size() + 1 > capacity_) {
      capacity_ = std::max(2 * capacity_, size_ + bytes.size() + 1);
      data_ = static_cast<char*>(std::realloc(data_, capacity_));
      if (data_ == nullptr) out_of_memory();
    }
    if (!bytes.empty()) std::memcpy(data_ + size_, bytes.data(), bytes.size());
    size_ += bytes.size();
    data_[size_] = '\0';
    return *this;
  }
  void clear() noexcept { size_ = 0; }
  const char* c_str() const noexcept { return size_ == 0 ? "" : data_; }
  std::string_view view() const noexcept { return std::string_view(data_, size_); }

 private:
  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// The path that names `name` in the directory `entry`, spelt as it is printed.
// No "/" is added after an entry that ends in one, so that the first line for
// a plain name is the text that Python's shutil.which (os.path.join) gives.
// An empty entry stands for the working directory.
void join(std::string_view entry, std::string_view name, Text& path) noexcept {
  path.clear();
  kelvar::lookup::posix::append_joined(path, entry.empty() ? std::string_view(".") : entry, name);
}

// The names in one directory in byte order ("." and ".." left out, as they
// are never regular files), read when a wildcard pattern first needs them and
// kept for the later patterns; none when the directory cannot be read.
struct Listing {
  bool read = false;
  Text names;  // each name followed by its NUL
  const char** sorted = nullptr;
  std::size_t count = 0;

  Listing() = default;
  Listing(const Listing&) = delete;
  Listing& operator=(const Listing&) = delete;
  ~Listing() noexcept { std::free(sorted); }

  void load(std::string_view entry) noexcept {
    read = true;
    Text dir_path;
    dir_path += entry.empty() ? std::string_view(".") : entry;
    DIR* dir = opendir(dir_path.c_str());
    if (dir == nullptr) return;
    while (const dirent* item = readdir(dir)) {
      const std::string_view name = item->d_name;
      if (name == "." || name == "..") continue;
      names += name;
      names += std::string_view("", 1);
      ++count;
    }
    closedir(dir);
    if (count == 0) return;
    sorted = static_cast<const char**>(std::malloc(count * sizeof *sorted));
    if (sorted == nullptr) out_of_memory();
    const char* name = names.c_str();
    for (std::size_t i = 0; i < count; ++i, name += std::strlen(name) + 1) sorted[i] = name;
    // strcmp compares as unsigned char, which is the byte order.
    std::sort(sorted, sorted + count,
              [](const char* a, const char* b) { return std::strcmp(a, b) < 0; });
  }
};

// Buffered standard output written with write(2), so that the bytes go out
// exactly as given, in few system calls, with nothing to set up at start.
class Output {
 public:
  Output() = default;
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  void line(std::string_view bytes) noexcept {
    text(bytes);
    text("\n");
  }

  // False when some of the output could not be written; error() then tells
  // why. After a failure the rest is dropped, but the search goes on so that
  // the exit status still reports the failure rather than a partial success.
  bool flush() noexcept {
    std::string_view rest(buffer_, size_);
    while (!rest.empty() && error_ == 0) {
      const ssize_t written = write(STDOUT_FILENO, rest.data(), rest.size());
      if (written > 0) {
        rest.remove_prefix(static_cast<std::size_t>(written));
      } else if (written == 0) {
        error_ = EIO;  // no progress: retrying would spin for ever
      } else if (errno != EINTR) {
        error_ = errno;
      }
    }
    size_ = 0;
    return error_ == 0;
  }

  int error() const noexcept { return error_; }

 private:
  void text(std::string_view bytes) noexcept {
    while (!bytes.empty()) {
      if (size_ == capacity) flush();
      const std::size_t part = std::min(bytes.size(), capacity - size_);
      std::memcpy(buffer_ + size_, bytes.data(), part);
      size_ += part;
      bytes.remove_prefix(part);
    }
  }

  static constexpr std::size_t capacity = 64 * 1024;
  char buffer_[capacity];
  std::size_t size_ = 0;
  int error_ = 0;  // errno of the failed write, kept since later calls reset errno
};

// One line on standard error: "where: " and the parts. Control bytes in an
// argument, which could break the line, are shown as \xHH.
void write_error(std::string_view text, std::string_view argument = {},
                 std::string_view after = {}) noexcept {
  Text message;
  message += "where: ";
  message += text;
  constexpr char digits[] = "0123456789ABCDEF";
  for (const char c : argument) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20U || byte == 0x7FU) {
      const char escape[4] = {'\\', 'x', digits[byte >> 4], digits[byte & 0xFU]};
      message += std::string_view(escape, sizeof escape);
    } else {
      message += std::string_view(&c, 1);
    }
  }
  message += after;
  message += "\n";
  write_all(STDERR_FILENO, message.view());
}

// Checks the command line; on a usage error reports it and returns false.
// Every argument is a pattern: programs run `where` with a command name as
// its only argument, and a name such as "-x" or "--" must be searched for,
// not taken for an option. The one exception is a lone "--help", which is
// searched for too.
bool arguments_are_patterns(int argc, char** argv) noexcept {
  if (argc < 2) {
    write_error("missing pattern (try 'where --help')");
    return false;
  }
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument.empty()) {
      write_error("empty pattern (try 'where --help')");
      return false;
    }
    if (argument.find('/') != std::string_view::npos) {
      write_error("a pattern is a file name and must not contain '/': '", argument, "'");
      return false;
    }
  }
  return true;
}

// Prints the matches of one pattern; returns whether there were any.
bool search(std::string_view pattern, std::string_view search_path, Listing* listings,
            Output& out) noexcept {
  bool found = false;
  const bool wildcard = has_wildcard(pattern);
  Text path;
  std::string_view rest = search_path;
  std::string_view entry;
  for (std::size_t i = 0; kelvar::lookup::posix::next_search_entry(rest, entry); ++i) {
    if (!wildcard) {
      // A plain name is probed directly: listing the directory would cost far
      // more than the one stat.
      join(entry, pattern, path);
      if (kelvar::lookup::posix::is_program_file(path.c_str())) {
        out.line(path.view());
        found = true;
      }
      continue;
    }
    Listing& listing = listings[i];
    if (!listing.read) listing.load(entry);
    for (std::size_t k = 0; k < listing.count; ++k) {
      const std::string_view name = listing.sorted[k];
      if (!matches(pattern, name)) continue;
      join(entry, name, path);
      if (kelvar::lookup::posix::is_program_file(path.c_str())) {
        out.line(path.view());
        found = true;
      }
    }
  }
  return found;
}

// Sends what is left of the output and turns a failure to write any of it
// into the error status: a caller must not take a cut list for a whole one.
int finish(Output& out, int status) noexcept {
  if (out.flush()) return status;
  write_error("cannot write the output: ", std::strerror(out.error()));
  return exit_error;
}

int run(int argc, char** argv) noexcept {
  if (!arguments_are_patterns(argc, argv)) return exit_error;

  // The explanation goes to standard error, and "--help" is still searched
  // for: a program named so is found like any other.
  if (argc == 2 && std::string_view(argv[1]) == "--help") write_all(STDERR_FILENO, help_text);

  char* owned = nullptr;
  const char* value = kelvar::lookup::posix::search_path_value(&owned);
  if (value == nullptr) out_of_memory();
  const std::string_view search_path = value;
  const std::size_t entries =
      1 + static_cast<std::size_t>(std::count(search_path.begin(), search_path.end(), ':'));
  // malloc and placement new rather than new[], whose failure would throw.
  auto* const listings = static_cast<Listing*>(std::malloc(entries * sizeof(Listing)));
  if (listings == nullptr) out_of_memory();
  for (std::size_t i = 0; i < entries; ++i) new (&listings[i]) Listing();

  Output out;
  bool found = false;
  for (int i = 1; i < argc; ++i) found = search(argv[i], search_path, listings, out) || found;
  const int status = finish(out, found ? exit_found : exit_not_found);
  for (std::size_t i = 0; i < entries; ++i) listings[i].~Listing();
  std::free(listings);
  std::free(owned);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  return run(argc, argv);
}
