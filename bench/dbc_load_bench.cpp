// Load time of a generated DBC file of 3,000 messages and 30,000 signals and
// of its double, medians of several runs; loading must stay linear. The
// reference is one pass that splits the same text into lines.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "dbc/dbc_parser.h"

namespace {

std::string generate(int messages) {
  std::string s =
      "VERSION \"\"\n\nNS_ :\n\tNS_DESC_\n\tCM_\n\nBS_:\n\nBU_: ECU Dash\n\n"
      "BA_DEF_  \"BusType\" STRING ;\n"
      "BA_DEF_ BO_  \"GenMsgCycleTime\" INT 0 65535;\n"
      "BA_DEF_ BO_  \"TransportProtocolType\" STRING ;\n"
      "BA_DEF_ BO_  \"MessageIgnore\" INT 0 1;\n"
      "BA_DEF_ SG_  \"SignalIgnore\" INT 0 1;\n"
      "BA_DEF_DEF_  \"BusType\" \"CAN\";\n"
      "BA_DEF_DEF_  \"GenMsgCycleTime\" 100;\n"
      "BA_DEF_DEF_  \"TransportProtocolType\" \"\";\n"
      "BA_DEF_DEF_  \"MessageIgnore\" 0;\n"
      "BA_DEF_DEF_  \"SignalIgnore\" 0;\n"
      "BA_ \"BusType\" \"CAN\";\n\n";
  std::string attributes, comments;
  char line[256];
  for (int m = 0; m < messages; ++m) {
    unsigned id = 0x80000000u | (0x10000u + static_cast<unsigned>(m));
    std::snprintf(line, sizeof line, "BO_ %u Message_%d: 64 ECU\n", id, m);
    s += line;
    bool mux = m % 10 == 0;
    for (int k = 0; k < 10; ++k) {
      const char* indicator = !mux ? "" : k == 0 ? " M" : k < 5 ? " m0" : " m1";
      int start = k * 16 + (k % 2 ? 15 : 0);
      std::snprintf(line, sizeof line,
                    " SG_ Signal_%d_%d%s : %d|16@%d%c (0.01,-40) [-40|615.35] \"unit\" Dash\n", m,
                    k, indicator, start, k % 2 ? 0 : 1, k % 3 ? '+' : '-');
      s += line;
    }
    s += "\n";
    std::snprintf(line, sizeof line, "BA_ \"GenMsgCycleTime\" BO_ %u %d;\n", id, 10 + m % 90);
    attributes += line;
    if (m % 7 == 0) {
      std::snprintf(line, sizeof line, "BA_ \"SignalIgnore\" SG_ %u Signal_%d_3 1;\n", id, m);
      attributes += line;
    }
    std::snprintf(line, sizeof line, "CM_ BO_ %u \"Message number %d\";\n", id, m);
    comments += line;
  }
  return s + comments + attributes;
}

double load_ms(const std::string& text) {
  auto start = std::chrono::steady_clock::now();
  auto db = quillon::parse_dbc_bytes(text);
  auto end = std::chrono::steady_clock::now();
  if (!db || db->messages().empty()) std::printf("load failed\n");
  return std::chrono::duration<double, std::milli>(end - start).count();
}

double split_ms(const std::string& text) {
  auto start = std::chrono::steady_clock::now();
  size_t lines = 0, begin = 0;
  std::vector<std::string_view> views;
  while (begin < text.size()) {
    size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    views.push_back(std::string_view(text).substr(begin, end - begin));
    ++lines;
    begin = end + 1;
  }
  auto end = std::chrono::steady_clock::now();
  if (lines == 0) std::printf("no lines\n");
  return std::chrono::duration<double, std::milli>(end - start).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main() {
  const int kRuns = 7;
  std::string single = generate(3000);
  std::string twice = generate(6000);
  std::vector<double> a, b, ref;
  for (int i = 0; i < kRuns; ++i) {
    a.push_back(load_ms(single));
    b.push_back(load_ms(twice));
    ref.push_back(split_ms(single));
  }
  double ma = median(a), mb = median(b), mr = median(ref);
  std::printf("dbc load: 3000 messages / 30000 signals, %.1f MB: median %.1f ms (%.1f MB/s)\n",
              single.size() / 1e6, ma, single.size() / 1e3 / ma);
  std::printf("dbc load: 6000 messages / 60000 signals, %.1f MB: median %.1f ms\n",
              twice.size() / 1e6, mb);
  std::printf("double / single: %.2f (linear: 2.00, limit 2.40)\n", mb / ma);
  std::printf("reference line split of the single file: median %.2f ms; load / reference: %.0f\n",
              mr, ma / mr);
  return 0;
}
