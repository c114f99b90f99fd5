// Windows of the taskbar layer without a window system: a handle names a bounded message queue
// read by the one thread that owns the window. Other threads post to it, or send and wait until the
// owner has handled the message (as the close message at stop needs).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/event.h"
#include "platform/window_messages.h"

namespace netward {

inline constexpr int kMaxMessageWindows = 8;
inline constexpr int kMessageQueueDepth = 32;
inline constexpr uint32_t kSendWaitMs = 2000;  // real time a sender waits for the owner
inline constexpr size_t kWindowTitleBytes = 20;  // a window search reads 19 characters of a title

struct WindowMessage {
  uint32_t message;
  uintptr_t wparam;
  intptr_t lparam;
};

// Creates a window whose messages wake `wake` (set on every post). 0 when all slots are taken.
uintptr_t CreateMessageWindow(platform::Event* wake);
// Called by the thread that reads the window's messages, before it reads any.
void AdoptMessageWindow(uintptr_t window);
// Ends the window: later posts fail and waiting senders return.
void DestroyMessageWindow(uintptr_t window);
// The window's title as window searches see it (its first 19 characters); a new window has none.
void SetMessageWindowTitle(uintptr_t window, const char* title);

// Sends WM_CLOSE to every window whose title begins with `prefix` (case-sensitive), each in turn,
// waiting for its owner as SendWindowMessage does. Returns how many handled it (or ended) in time.
int CloseWindowsTitled(const char* prefix);

// False when the window does not exist or its queue is full.
bool PostWindowMessage(uintptr_t window, uint32_t message, uintptr_t wparam = 0, intptr_t lparam = 0);
// Posts and waits (real time, bounded) until the owner has handled the message or the window ended.
// From the owner's own thread it only posts (and gives false). True when the message was handled or
// the window ended before the wait was over.
bool SendWindowMessage(uintptr_t window, uint32_t message, uintptr_t wparam = 0, intptr_t lparam = 0,
                       uint32_t wait_ms = kSendWaitMs);

// Owner side: takes the oldest message; false when the queue is empty. Call FinishWindowMessage when
// it has been handled.
bool PeekWindowMessage(uintptr_t window, WindowMessage& out);
void FinishWindowMessage(uintptr_t window);

}  // namespace netward
