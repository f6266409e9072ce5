// Any bytes as a DBC file: the parser must load or refuse them, never crash;
// a loaded database is also dumped as JSON, and every message's decode plan
// must give what the walk of its Signal tree gives, on payloads of lengths
// up to 64 bytes made from the input itself. Value tables hold labels that
// closed on their line, and choosing by name patterns taken from the input
// leaves out exactly the signals it does not name.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "../tests/dbc/signal_tree.h"
#include "dbc/dbc_parser.h"
#include "dbc/decode.h"
#include "dbc/json_dump.h"
#include "dbc/selection.h"

namespace {

bool same(double a, double b) {
  return (a != a && b != b) || std::memcmp(&a, &b, sizeof a) == 0;
}

void check_plans(const quillon::MessageDatabase& db, const uint8_t* data, size_t size) {
  quillon::DecodedMessage by_plan, by_tree;
  std::vector<uint8_t> payload;
  for (const auto& [key, message] : db.messages()) {
    if (!message->plan) std::abort();
    for (size_t length = 0; length <= 64; length += 1 + length / 4) {
      payload.assign(length, 0);
      // Mixed, so that the text's bytes give every bit somewhere.
      for (size_t i = 0; i < length && size != 0; ++i) {
        payload[i] = static_cast<uint8_t>(data[(key + 13 * length + i) % size] * 151 + length);
      }
      quillon::decode_message(*message->plan, payload.data(), length, by_plan);
      quillon::tree::decode_message(*message, payload.data(), length, by_tree);
      if (by_plan.values.size() != by_tree.values.size()) std::abort();
      for (size_t i = 0; i < by_plan.values.size(); ++i) {
        const quillon::DecodedValue& p = by_plan.values[i];
        const quillon::DecodedValue& t = by_tree.values[i];
        if (p.signal != t.signal || p.ignored != t.ignored || !same(p.value, t.value)) std::abort();
      }
    }
  }
}

void check_labels(const quillon::SignalList& list) {
  for (const auto& s : list) {
    if (s->labels) {
      if (s->labels->labels.empty()) std::abort();  // an empty table is none
      for (const auto& [raw, label] : s->labels->labels) {
        if (label.find_first_of("\"\n") != std::string::npos) std::abort();
        if (s->labels->find(raw) != &label) std::abort();
      }
    }
    for (const auto& g : s->groups) check_labels(g->signals);
  }
}

// Patterns from the input's own names: every other message and, in each,
// the signals whose name starts like the first one's.
void check_selection(quillon::MessageDatabase& db) {
  quillon::Selection selection;
  selection.value_labels = true;
  bool odd = false;
  for (const auto& [key, message] : db.messages()) {
    if ((odd = !odd)) selection.messages.push_back(message->name);
    if (selection.signals.empty() && !message->signals.empty() &&
        message->signals[0]->name[0] != '.') {
      selection.signals.push_back(message->signals[0]->name.substr(0, 1) + "*");
    }
  }
  std::vector<bool> mh(selection.messages.size()), sh(selection.signals.size());
  quillon::apply_selection(db, selection, mh, sh);
  for (bool hit : mh) {
    if (!hit) std::abort();
  }
  for (bool hit : sh) {
    if (!hit) std::abort();
  }
  for (const auto& [key, message] : db.messages()) {
    const quillon::DecodePlan& plan = *message->plan;
    bool message_chosen = false;
    for (const std::string& p : selection.messages) {
      message_chosen |= quillon::glob_match(p, message->name);
    }
    bool written = false, labelled = false;
    for (uint32_t k = 0; k < plan.signal_total(); ++k) {
      const quillon::Signal& s = plan.signal_at(k);
      const bool chosen = message_chosen && (selection.signals.empty() ||
                                             quillon::signal_pattern_matches(
                                                 selection.signals[0], message->name, s.name));
      if (plan.codes()[k].ignored() != (s.ignored || !chosen)) std::abort();
      written |= chosen && !s.ignored;
      labelled |= chosen && !s.ignored && s.labels != nullptr;
    }
    if (plan.chosen() != written || plan.labelled() != labelled) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 64 * 1024) return 0;
  auto db = quillon::parse_dbc_bytes(std::string_view(reinterpret_cast<const char*>(data), size));
  if (db) {
    (void)quillon::database_json(*db);
    check_plans(*db, data, size);
    for (const auto& [key, message] : db->messages()) check_labels(message->signals);
    check_selection(*db);
  }
  return 0;
}
