// where: lists the executable files on the search path whose names match
// wildcard patterns. It stands in, on POSIX systems, for the Windows utility
// of the same name, which the lookup of the extension module runs as a child
// and whose first line of output it takes as the command's path.
//
// Speed matters because every lookup starts this program afresh: there are no
// iostreams (their static initialisation costs more than the search), a name
// without wildcards costs one stat per directory, and a directory is listed
// at most once however many patterns need it.

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/search_path.h"
#include "common/utf8.h"

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
std::size_t char_length(std::string_view text, std::size_t pos) {
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
bool matches(std::string_view pattern, std::string_view name) {
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
      if (pattern_len == name_len && pattern.substr(p, pattern_len) == name.substr(n, name_len)) {
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

// The path that names `name` in the directory `entry`, spelt as it is printed.
// No "/" is added after an entry that ends in one, so that the first line for
// a plain name is the text that Python's shutil.which (os.path.join) gives.
std::string join(std::string_view entry, std::string_view name) {
  std::string path;
  if (entry.empty()) {
    path = "./";
  } else {
    path.reserve(entry.size() + 1 + name.size() + 1);
    path = entry;
    if (path.back() != '/') path += '/';
  }
  path += name;
  return path;
}

// The names in directory `entry` in byte order ("." and ".." left out, as they
// are never regular files); empty when it cannot be read.
std::vector<std::string> list_directory(std::string_view entry) {
  std::vector<std::string> names;
  const std::string dir_path = entry.empty() ? std::string(".") : std::string(entry);
  DIR* dir = opendir(dir_path.c_str());
  if (dir == nullptr) return names;
  while (const dirent* item = readdir(dir)) {
    const std::string_view name = item->d_name;
    if (name == "." || name == "..") continue;
    names.emplace_back(name);
  }
  closedir(dir);
  // std::string compares as unsigned char, which is the byte order.
  std::sort(names.begin(), names.end());
  return names;
}

// Buffered standard output written with write(2), so that the bytes go out
// exactly as given, in few system calls, with nothing to set up at start.
class Output {
 public:
  Output() { buffer_.reserve(capacity); }
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  void text(std::string_view bytes) {
    if (buffer_.size() + bytes.size() > capacity) flush();
    buffer_ += bytes;
  }

  void line(std::string_view bytes) {
    text(bytes);
    text("\n");
  }

  // False when some of the output could not be written; error() then tells
  // why. After a failure the rest is dropped, but the search goes on so that
  // the exit status still reports the failure rather than a partial success.
  bool flush() {
    std::string_view rest = buffer_;
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
    buffer_.clear();
    return error_ == 0;
  }

  int error() const { return error_; }

 private:
  static constexpr std::size_t capacity = 64 * 1024;
  std::string buffer_;
  int error_ = 0;  // errno of the failed write, kept since later calls reset errno
};

void write_error(std::string_view text) {
  std::string message = "where: ";
  message += text;
  message += '\n';
  std::fwrite(message.data(), 1, message.size(), stderr);
}

// An argument as it may appear inside the one-line error message: control
// bytes, which could break the line, are shown as \xHH.
std::string printable(std::string_view argument) {
  std::string shown;
  for (const char c : argument) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20U || byte == 0x7FU) {
      char escape[5];
      std::snprintf(escape, sizeof escape, "\\x%02X", byte);
      shown += escape;
    } else {
      shown += c;
    }
  }
  return shown;
}

struct Request {
  bool help = false;
  std::vector<std::string_view> patterns;
};

// Reads the command line; on a usage error reports it and returns nothing.
// Every argument is a pattern: programs run `where` with a command name as
// its only argument, and a name such as "-x" or "--" must be searched for,
// not taken for an option. The one exception is a lone "--help".
std::optional<Request> parse_arguments(int argc, char** argv) {
  Request request;
  request.help = argc == 2 && std::string_view(argv[1]) == "--help";
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument.empty()) {
      write_error("empty pattern (try 'where --help')");
      return std::nullopt;
    }
    if (argument.find('/') != std::string_view::npos) {
      write_error("a pattern is a file name and must not contain '/': '" + printable(argument) +
                  "'");
      return std::nullopt;
    }
    request.patterns.push_back(argument);
  }
  if (request.patterns.empty()) {
    write_error("missing pattern (try 'where --help')");
    return std::nullopt;
  }
  return request;
}

// Listings of the search directories, read when a wildcard pattern first needs
// them and kept for the later patterns.
class Listings {
 public:
  explicit Listings(std::size_t count) : listings_(count) {}

  const std::vector<std::string>& of(std::size_t index, std::string_view entry) {
    std::optional<std::vector<std::string>>& listing = listings_[index];
    if (!listing) listing = list_directory(entry);
    return *listing;
  }

 private:
  std::vector<std::optional<std::vector<std::string>>> listings_;
};

// Prints the matches of one pattern; returns whether there were any.
bool search(std::string_view pattern, const std::vector<std::string_view>& entries,
            Listings& listings, Output& out) {
  bool found = false;
  const bool wildcard = has_wildcard(pattern);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (!wildcard) {
      // A plain name is probed directly: listing the directory would cost far
      // more than the one stat.
      const std::string path = join(entries[i], pattern);
      if (kelvar::common::is_program_file(path.c_str())) {
        out.line(path);
        found = true;
      }
      continue;
    }
    for (const std::string& name : listings.of(i, entries[i])) {
      if (!matches(pattern, name)) continue;
      const std::string path = join(entries[i], name);
      if (kelvar::common::is_program_file(path.c_str())) {
        out.line(path);
        found = true;
      }
    }
  }
  return found;
}

// Sends what is left of the output and turns a failure to write any of it
// into the error status: a caller must not take a cut list for a whole one.
int finish(Output& out, int status) {
  if (out.flush()) return status;
  write_error(std::string("cannot write the output: ") + std::strerror(out.error()));
  return exit_error;
}

}  // namespace

int main(int argc, char** argv) {
  const std::optional<Request> request = parse_arguments(argc, argv);
  if (!request) return exit_error;

  // The explanation goes to standard error, and "--help" is still searched
  // for: a program named so is found like any other.
  if (request->help) std::fwrite(help_text.data(), 1, help_text.size(), stderr);

  Output out;

  std::string search_path;
  const std::vector<std::string_view> entries = kelvar::common::search_path_entries(search_path);
  Listings listings(entries.size());
  bool found = false;
  for (const std::string_view pattern : request->patterns) {
    found = search(pattern, entries, listings, out) || found;
  }
  return finish(out, found ? exit_found : exit_not_found);
}
