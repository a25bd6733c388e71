// Timing, memory and stage figures for the benchmark programs.
#pragma once

#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace morvane::bench {

class Stopwatch {
 public:
  double seconds() const { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count(); }
  void restart() { start_ = std::chrono::steady_clock::now(); }

 private:
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// Peak resident memory of this process since start-up or the last reset_peak_rss(), in MiB.
inline double peak_rss_mib() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;  // "VmHWM:  1234 kB"
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// Lowers the peak to the memory resident now, so that the next peak belongs to one case: memory
// that earlier cases freed but the allocator kept is handed back first. Linux only; elsewhere the
// peak keeps counting from start-up.
inline void reset_peak_rss() {
  malloc_trim(0);
  if (std::FILE* f = std::fopen("/proc/self/clear_refs", "w")) {
    std::fputs("5", f);
    std::fclose(f);
  }
}

inline double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0.0 : v[v.size() / 2];
}

// The stage lines that a call writes to standard error, kept instead of shown: the core writes
// "  {name}: done in {s}s" (or "done {n} items in {s}s ...") when a stage ends.
class StageCapture {
 public:
  StageCapture() : file_(std::tmpfile()), saved_(dup(2)) {
    std::fflush(stderr);
    if (file_ != nullptr) dup2(fileno(file_), 2);
  }
  StageCapture(const StageCapture&) = delete;
  StageCapture& operator=(const StageCapture&) = delete;
  ~StageCapture() {
    restore();
    if (file_ != nullptr) std::fclose(file_);
  }

  // Stage names and seconds, in the order the stages ended.
  std::vector<std::pair<std::string, double>> stages() {
    restore();
    std::vector<std::pair<std::string, double>> out;
    if (file_ == nullptr) return out;
    std::rewind(file_);
    std::string text;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file_)) > 0;) text.append(buffer, n);
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
      const std::size_t cr = line.rfind('\r');
      if (cr != std::string::npos) line.erase(0, cr + 1);
      const std::size_t done = line.find(": done ");
      const std::size_t in = line.find(" in ", done == std::string::npos ? 0 : done);
      if (done == std::string::npos || in == std::string::npos) continue;
      const std::size_t first = line.find_first_not_of(' ');
      out.emplace_back(line.substr(first, done - first), std::stod(line.substr(in + 4)));
    }
    return out;
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    std::fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
    saved_ = -1;
  }

  std::FILE* file_;
  int saved_;
};

// "band 0.12, sign 0.03, ..." from captured stages; names are cut at their first " (".
inline std::string stage_text(const std::vector<std::pair<std::string, double>>& stages) {
  std::string text;
  char number[32];
  for (const auto& [name, seconds] : stages) {
    std::snprintf(number, sizeof number, " %.2f", seconds);
    if (!text.empty()) text += ", ";
    text += name.substr(0, name.find(" (")) + number;
  }
  return text;
}

}  // namespace morvane::bench
