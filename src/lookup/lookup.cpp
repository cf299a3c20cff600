#include "lookup/lookup.h"

#include <variant>

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

std::optional<std::string> first_reported_path(const RunResult& run) {
  // What a failing `where` printed is not an answer, even when it looks like one.
  if (run.status != RunStatus::completed || run.exit_code != 0) return std::nullopt;
  return first_path_printed(run.out);
}

std::optional<std::string_view> builtin_fallback(std::string_view name) noexcept {
  if (is_builtin_command(name)) return facts::cmd_exe_path;
  return std::nullopt;
}

namespace {

// The table's answer for a name that `where` did not report.
Answer fall_back(std::string_view name) {
  Answer answer;
  if (const std::optional<std::string_view> builtin = builtin_fallback(name)) {
    answer.kind = Answer::Kind::found;
    answer.path = *builtin;
  }
  return answer;
}

}  // namespace

Answer answer_from(const RunResult& run, std::string_view name) {
  Answer answer;
  switch (run.status) {
    case RunStatus::stopped:
      answer.kind = Answer::Kind::stopped;
      return answer;
    case RunStatus::failed:
    case RunStatus::completed:
      break;
  }
  // A `where` that could not be run, failed, or printed nothing leaves the
  // name to the table.
  std::optional<std::string> path = first_reported_path(run);
  if (!path) return fall_back(name);
  answer.kind = Answer::Kind::found;
  answer.path = std::move(*path);
  return answer;
}

Lookup Lookup::prepare(std::string_view name, bool fuzzy, std::string_view interpreter) {
  return Lookup(std::string(name), prepare_where(build_query(name, fuzzy), interpreter));
}

Answer Lookup::answer(const StopCheck& should_stop) const {
  const PreparedRun* const prepared = std::get_if<PreparedRun>(&run_);
  if (prepared == nullptr) return fall_back(name_);
  return answer_from(run(*prepared, should_stop, group_for_this_thread()), name_);
}

}  // namespace kelvar::lookup
