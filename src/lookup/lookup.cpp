#include "lookup/lookup.h"

#include "facts/facts.h"
#include "lookup/builtins.h"
#include "lookup/output.h"

namespace kelvar::lookup {

std::string build_query(std::string_view name, bool fuzzy) {
  constexpr std::string_view wildcard = "*";
  std::string query;
  query.reserve(name.size() + 2 * wildcard.size() + facts::executable_extension.size());
  if (fuzzy) query += wildcard;
  query += name;
  if (fuzzy) query += wildcard;
  query += facts::executable_extension;
  return query;
}

#ifdef _WIN32
std::optional<PreparedRun> prepare_where(std::string_view query, std::string_view /*interpreter*/) {
  return prepare_run(where_program, query);
}
#endif

std::optional<std::string> first_reported_path(const RunResult& run) {
  // What a failing `where` printed is not an answer, even when it looks like one.
  if (run.status != RunStatus::completed || run.exit_code != 0) return std::nullopt;
#ifdef _WIN32
  return first_path_windows(run.out);
#else
  return first_path_in(decode_utf8_lenient(run.out));
#endif
}

std::optional<std::string_view> builtin_fallback(std::string_view name) noexcept {
  if (is_builtin_command(name)) return facts::cmd_exe_path;
  return std::nullopt;
}

}  // namespace kelvar::lookup
