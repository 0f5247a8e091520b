#include "console/progress.h"

#include <stdio.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "console/console.h"
#include "platform/process.h"

namespace {

std::string bytes_text(double bytes) {
  const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  int unit = 0;
  while (bytes >= 1024 && unit < 6) {
    bytes /= 1024;
    ++unit;
  }
  char text[32];
  snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
  return text;
}

std::string time_text(double seconds) {
  if (seconds < 0 || seconds > 359999) return "--:--";
  const long s = static_cast<long>(seconds + 0.5);
  char text[32];
  if (s >= 3600) {
    snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  } else {
    snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
  }
  return text;
}

struct Drawing {
  std::mutex lock;
  std::condition_variable wake;
  bool stop = false;
  std::thread thread;
};

Drawing* drawing = nullptr;

}  // namespace

std::string progress_text(const Progress& progress, double seconds, int width) {
  const uint64_t files = progress.files.load(std::memory_order_relaxed);
  const uint64_t bytes = progress.bytes.load(std::memory_order_relaxed);
  // New files add to what is done; the share stops short of the end until
  // the end.
  double share = progress.bytes_total != 0
                     ? static_cast<double>(bytes) / static_cast<double>(progress.bytes_total)
                 : progress.files_total != 0
                     ? static_cast<double>(files) / static_cast<double>(progress.files_total)
                     : 0;
  if (share > 0.99) share = 0.99;
  const double rate = seconds > 0.2 ? static_cast<double>(bytes) / seconds : 0;
  const double left = rate > 0 && progress.bytes_total > bytes
                          ? static_cast<double>(progress.bytes_total - bytes) / rate
                          : -1;
  char text[160];
  if (progress.files_total == 0 && progress.bytes_total == 0) {
    // A walk whose size is not known beforehand: what is done, and how fast.
    snprintf(text, sizeof text, "%llu files  %s  %s/s", static_cast<unsigned long long>(files),
             bytes_text(static_cast<double>(bytes)).c_str(), rate > 0 ? bytes_text(rate).c_str() : "--");
    std::string line = text;
    const size_t most = width > 1 ? static_cast<size_t>(width - 1) : 79;
    if (line.size() > most) line.resize(most);
    return line;
  }
  snprintf(text, sizeof text, "%llu/%llu files  %s/%s  %d%%  %s/s  %s left",
           static_cast<unsigned long long>(files),
           static_cast<unsigned long long>(progress.files_total),
           bytes_text(static_cast<double>(bytes)).c_str(),
           bytes_text(static_cast<double>(progress.bytes_total)).c_str(),
           static_cast<int>(share * 100), rate > 0 ? bytes_text(rate).c_str() : "--",
           time_text(left).c_str());
  std::string line = text;
  const size_t most = width > 1 ? static_cast<size_t>(width - 1) : 79;
  if (line.size() > most) line.resize(most);
  return line;
}

void start_progress(const Progress* progress) {
  // The first line is drawn here, so that it shows however soon the check
  // ends; the thread redraws it from then on.
  draw_progress(progress_text(*progress, 0, terminal_width(2)));
  drawing = new Drawing();
  const auto start = std::chrono::steady_clock::now();
  drawing->thread = start_thread([progress, start] {
    std::unique_lock<std::mutex> hold(drawing->lock);
    for (;;) {
      drawing->wake.wait_for(hold, std::chrono::milliseconds(250));
      if (drawing->stop) return;
      const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start;
      // The width is asked each time: the window may have been resized.
      draw_progress(progress_text(*progress, spent.count(), terminal_width(2)));
    }
  });
}

void stop_progress() {
  if (drawing == nullptr) return;
  {
    std::lock_guard<std::mutex> hold(drawing->lock);
    drawing->stop = true;
  }
  drawing->wake.notify_all();
  drawing->thread.join();
  delete drawing;
  drawing = nullptr;
  erase_progress();
}
