#include "taskbar/message_window.h"

#include <chrono>
#include <cstring>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace netward {

namespace {

struct WindowSlot {
  uint32_t generation = 0;  // part of the handle; a stale handle no longer matches
  bool open = false;
  std::thread::id owner;
  platform::Event* wake = nullptr;
  WindowMessage queue[kMessageQueueDepth] = {};
  uint32_t head = 0;
  uint32_t count = 0;
  uint64_t posted = 0;    // messages ever queued
  uint64_t finished = 0;  // messages handled by the owner
  char title[kWindowTitleBytes] = {};
};

// Messages are rare (menu commands, close, log-off): one lock for all windows is enough.
std::mutex g_mu;
std::condition_variable g_finished_cv;
WindowSlot g_slots[kMaxMessageWindows];
uint32_t g_next_generation = 1;

uintptr_t HandleOf(int index, uint32_t generation) { return (uintptr_t(generation) << 4) | uintptr_t(index + 1); }

// The open slot a handle names, or null. Called with g_mu held.
WindowSlot* Find(uintptr_t window) {
  const uintptr_t index = (window & 0xF) - 1;
  if (window == 0 || index >= kMaxMessageWindows) return nullptr;
  WindowSlot& s = g_slots[index];
  if (!s.open || HandleOf(static_cast<int>(index), s.generation) != window) return nullptr;
  return &s;
}

// Queues a message; the number of the message (1-based), 0 on failure. Called with g_mu held.
uint64_t Enqueue(WindowSlot& s, uint32_t message, uintptr_t wparam, intptr_t lparam) {
  if (s.count == kMessageQueueDepth) return 0;
  s.queue[(s.head + s.count) % kMessageQueueDepth] = {message, wparam, lparam};
  ++s.count;
  if (s.wake) s.wake->Set();
  return ++s.posted;
}

}  // namespace

static_assert(kMaxMessageWindows < 16, "handles keep the slot index in 4 bits");

uintptr_t CreateMessageWindow(platform::Event* wake) {
  std::lock_guard<std::mutex> lock(g_mu);
  for (int i = 0; i < kMaxMessageWindows; ++i) {
    WindowSlot& s = g_slots[i];
    if (s.open) continue;
    s = WindowSlot{};
    s.generation = g_next_generation++;
    s.open = true;
    s.owner = std::this_thread::get_id();
    s.wake = wake;
    return HandleOf(i, s.generation);
  }
  return 0;
}

void AdoptMessageWindow(uintptr_t window) {
  std::lock_guard<std::mutex> lock(g_mu);
  if (WindowSlot* s = Find(window)) s->owner = std::this_thread::get_id();
}

void DestroyMessageWindow(uintptr_t window) {
  std::lock_guard<std::mutex> lock(g_mu);
  if (WindowSlot* s = Find(window)) {
    s->open = false;
    s->wake = nullptr;
    g_finished_cv.notify_all();
  }
}

void SetMessageWindowTitle(uintptr_t window, const char* title) {
  std::lock_guard<std::mutex> lock(g_mu);
  if (WindowSlot* s = Find(window)) {
    memset(s->title, 0, sizeof s->title);
    if (title != nullptr) strncpy(s->title, title, sizeof s->title - 1);
  }
}

int CloseWindowsTitled(const char* prefix) {
  uintptr_t matching[kMaxMessageWindows];
  int n = 0;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    const size_t len = strlen(prefix);
    for (int i = 0; i < kMaxMessageWindows; ++i) {
      const WindowSlot& s = g_slots[i];
      if (s.open && strncmp(s.title, prefix, len) == 0) matching[n++] = HandleOf(i, s.generation);
    }
  }
  int sent = 0;
  for (int i = 0; i < n; ++i) sent += SendWindowMessage(matching[i], kWmClose) ? 1 : 0;
  return sent;
}

bool PostWindowMessage(uintptr_t window, uint32_t message, uintptr_t wparam, intptr_t lparam) {
  std::lock_guard<std::mutex> lock(g_mu);
  WindowSlot* s = Find(window);
  return s != nullptr && Enqueue(*s, message, wparam, lparam) != 0;
}

bool SendWindowMessage(uintptr_t window, uint32_t message, uintptr_t wparam, intptr_t lparam, uint32_t wait_ms) {
  std::unique_lock<std::mutex> lock(g_mu);
  WindowSlot* s = Find(window);
  if (s == nullptr) return false;
  const uint64_t number = Enqueue(*s, message, wparam, lparam);
  if (number == 0) return false;
  if (s->owner == std::this_thread::get_id()) return false;
  // The slot may be reused after the window ends: keep to this handle.
  return g_finished_cv.wait_for(lock, std::chrono::milliseconds(wait_ms), [&] {
    WindowSlot* now = Find(window);
    return now == nullptr || now->finished >= number;
  });
}

bool PeekWindowMessage(uintptr_t window, WindowMessage& out) {
  std::lock_guard<std::mutex> lock(g_mu);
  WindowSlot* s = Find(window);
  if (s == nullptr || s->count == 0) return false;
  out = s->queue[s->head];
  s->head = (s->head + 1) % kMessageQueueDepth;
  --s->count;
  return true;
}

void FinishWindowMessage(uintptr_t window) {
  std::lock_guard<std::mutex> lock(g_mu);
  if (WindowSlot* s = Find(window)) {
    ++s->finished;
    g_finished_cv.notify_all();
  }
}

}  // namespace netward
