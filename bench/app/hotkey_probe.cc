// A keyboard-watch library for the hot-key benchmark: it loads the real KbdWatch.so and passes
// everything through, but notes the moment the real library posts each report, before the
// program's own post function hands it to the main thread. The program loads it as it loads
// KbdWatch.so (the same three exports), so the benchmark can tell the library's share of a hot
// key's latency from the window's. The extra cost is one clock read per report.
#include <dlfcn.h>

#include <atomic>
#include <cstdio>

#include "kbdwatch/KbdWatch.h"

// Called on the library's thread with each report, just before it is passed on.
using HotkeyProbeObserver = void (*)(uintptr_t wparam, intptr_t lparam);

namespace {

void* g_real = nullptr;
KbdWatchWindow g_window = {nullptr, nullptr};
std::atomic<HotkeyProbeObserver> g_observer{nullptr};

void Post(void*, uint32_t message, uintptr_t wparam, intptr_t lparam) {
  if (HotkeyProbeObserver observer = g_observer.load(std::memory_order_acquire)) {
    observer(wparam, lparam);
  }
  g_window.post(g_window.context, message, wparam, lparam);
}

template <class Fn>
Fn Real(const char* name) {
  return g_real == nullptr ? nullptr : reinterpret_cast<Fn>(dlsym(g_real, name));
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) void HotkeyProbeObserve(HotkeyProbeObserver observer) {
  g_observer.store(observer, std::memory_order_release);
}

__attribute__((visibility("default"))) bool SetHook(const KbdWatchWindow* window) {
  if (window == nullptr || window->post == nullptr) return false;
  if (g_real == nullptr) g_real = dlopen(KBDWATCH_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  auto set_hook = Real<KbdWatchSetHookFn>(KBDWATCH_SET_HOOK);
  if (set_hook == nullptr) {
    std::fprintf(stderr, "hotkey_probe: %s cannot be used\n", KBDWATCH_LIBRARY_PATH);
    return false;
  }
  // The copy here is read by Post on the watch's thread: no watch may run while it changes
  // (FreeHook returns once no report can come any more).
  if (auto free_hook = Real<KbdWatchFreeHookFn>(KBDWATCH_FREE_HOOK)) free_hook();
  g_window = *window;
  const KbdWatchWindow relay = {&Post, nullptr};
  return set_hook(&relay);
}

__attribute__((visibility("default"))) void FreeHook(void) {
  if (auto free_hook = Real<KbdWatchFreeHookFn>(KBDWATCH_FREE_HOOK)) free_hook();
}

__attribute__((visibility("default"))) const char* GetHookMsgString(void) {
  return KBDWATCH_HOOK_MESSAGE_NAME;
}

}  // extern "C"
