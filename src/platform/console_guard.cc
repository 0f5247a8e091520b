#include "platform/console_guard.h"

#include <atomic>

#include "platform/process.h"

namespace {

std::atomic<bool> interrupting{false};
std::atomic<bool> writing{false};
std::atomic<size_t> blank_width{0};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<size_t>::is_always_lock_free,
              "a signal handler may only use lock-free atomics");

// A progress line is at most a terminal's width; a wider one is covered as
// far as this goes.
const size_t kWidest = 1024;

struct Blank {
  char text[1 + kWidest];
  Blank() {
    text[0] = '\r';
    for (size_t i = 1; i <= kWidest; ++i) text[i] = ' ';
  }
};
const Blank kBlank;

}  // namespace

bool begin_console_write() {
  // Sequentially consistent, both here and in the interruption: either the
  // write sees the interruption and does not start, or the interruption
  // sees the write and waits for it.
  writing.store(true);
  if (interrupting.load()) {
    writing.store(false);
    return false;
  }
  return true;
}

void end_console_write() { writing.store(false); }

void set_interrupt_blank(size_t width) { blank_width.store(width < kWidest ? width : kWidest); }

void begin_interruption() { interrupting.store(true); }

bool console_write_under_way() { return writing.load(); }

const char* interrupt_blank(size_t* size) {
  const size_t width = blank_width.load();
  *size = width == 0 ? 0 : 1 + width;
  return kBlank.text;
}
