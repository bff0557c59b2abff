// The three exports of KbdWatch.so. One watch at most per process; the lock orders SetHook and
// FreeHook calls from any thread.
#include "kbdwatch/KbdWatch.h"

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>

#include "kbdwatch/X11Watcher.h"

#define KBDWATCH_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

std::mutex g_lock;
// Destroyed when the library is unloaded or the process exits: a watch the program did not
// free is stopped then, before its code goes away.
std::unique_ptr<kbdwatch::X11Watcher> g_watcher;

// Ends the current watch. From inside the post function the thread cannot wait for itself: it
// only stops reporting there, and is joined by the next SetHook, FreeHook or the unload.
void StopWatch() {
  if (!g_watcher) return;
  if (g_watcher->OnWatcherThread()) {
    g_watcher->StopFromWatcherThread();
    return;
  }
  g_watcher.reset();
}

}  // namespace

KBDWATCH_EXPORT bool SetHook(const KbdWatchWindow* window) {
  std::lock_guard<std::mutex> hold(g_lock);
  if (g_watcher && g_watcher->OnWatcherThread()) return false;
  StopWatch();
  if (window == nullptr || window->post == nullptr) {
    std::fprintf(stderr, "KbdWatch: 通知先が指定されていません\n");
    return false;
  }
  std::string error;
  g_watcher = kbdwatch::X11Watcher::Start(*window, &error);
  if (!g_watcher) {
    std::fprintf(stderr, "KbdWatch: キー入力を監視できません: %s\n", error.c_str());
    return false;
  }
  return true;
}

KBDWATCH_EXPORT void FreeHook(void) {
  std::lock_guard<std::mutex> hold(g_lock);
  StopWatch();
}

KBDWATCH_EXPORT const char* GetHookMsgString(void) {
  return KBDWATCH_HOOK_MESSAGE_NAME;
}

static_assert(std::is_same_v<decltype(&SetHook), KbdWatchSetHookFn>);
static_assert(std::is_same_v<decltype(&FreeHook), KbdWatchFreeHookFn>);
static_assert(std::is_same_v<decltype(&GetHookMsgString), KbdWatchGetHookMsgStringFn>);
