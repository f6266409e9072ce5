#include "dbc/selection.h"

#include "dbc/decode.h"

namespace quillon {

bool glob_match(std::string_view pattern, std::string_view name) {
  // One step back to the last "*" suffices: the run it takes only grows.
  size_t p = 0, n = 0, star = std::string_view::npos, resume = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = n;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

void split_patterns(std::string_view text, std::vector<std::string>& out) {
  while (true) {
    size_t comma = text.find(',');
    std::string_view piece = text.substr(0, comma);
    if (!piece.empty()) out.emplace_back(piece);
    if (comma == std::string_view::npos) return;
    text.remove_prefix(comma + 1);
  }
}

bool signal_pattern_matches(std::string_view pattern, std::string_view message,
                            std::string_view signal) {
  // DBC names hold no ".": one in the pattern parts message and signal.
  size_t dot = pattern.find('.');
  if (dot == std::string_view::npos) return glob_match(pattern, signal);
  return glob_match(pattern.substr(0, dot), message) && glob_match(pattern.substr(dot + 1), signal);
}

void apply_selection(MessageDatabase& db, const Selection& selection,
                     std::vector<bool>& message_hits, std::vector<bool>& signal_hits) {
  for (const auto& [key, message] : db.messages()) {
    if (!message->plan) continue;
    DecodePlan& plan = *message->plan;
    bool message_chosen = selection.messages.empty();
    for (size_t i = 0; i < selection.messages.size(); ++i) {
      if (glob_match(selection.messages[i], message->name)) {
        message_hits[i] = true;
        message_chosen = true;
      }
    }
    bool written = false, labelled = false;
    for (uint32_t k = 0; k < plan.signal_total(); ++k) {
      const Signal& signal = plan.signal_at(k);
      bool chosen = selection.signals.empty();
      for (size_t i = 0; i < selection.signals.size(); ++i) {
        if (signal_pattern_matches(selection.signals[i], message->name, signal.name)) {
          signal_hits[i] = true;
          chosen = true;
        }
      }
      if (!message_chosen || !chosen) {
        plan.leave_out(k);
        continue;
      }
      if (signal.ignored) continue;
      written = true;
      if (selection.value_labels && signal.labels) labelled = true;
    }
    // Without choosing, a message stays as it was, signals or none.
    if (!selection.messages.empty() || !selection.signals.empty()) plan.set_chosen(written);
    plan.set_labelled(labelled);
  }
}

}  // namespace quillon
