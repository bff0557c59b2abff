#include "app/HookLibrary.h"

#include <dlfcn.h>

#include <cstdio>

namespace app {

HookLibrary::~HookLibrary() {
  Unload();
}

HookLibrary::Failure HookLibrary::Load(const std::string& file, const KbdWatchWindow& window) {
  Unload();
  handle_ = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    std::fprintf(stderr, "verbat: %s\n", dlerror());
    return Failure::kLoad;
  }
  if (dlsym(handle_, KBDWATCH_GET_HOOK_MSG_STRING) == nullptr) return Failure::kGetHookMsgString;
  auto set_hook = reinterpret_cast<KbdWatchSetHookFn>(dlsym(handle_, KBDWATCH_SET_HOOK));
  if (set_hook == nullptr) return Failure::kSetHookMissing;
  hook_set_ = set_hook(&window);
  return hook_set_ ? Failure::kNone : Failure::kSetHookFalse;
}

void HookLibrary::Unload() {
  if (handle_ == nullptr) return;
  if (hook_set_) {
    if (auto free_hook = reinterpret_cast<KbdWatchFreeHookFn>(dlsym(handle_, KBDWATCH_FREE_HOOK))) {
      free_hook();
    }
    hook_set_ = false;
  }
  dlclose(handle_);
  handle_ = nullptr;
}

QString HookLibrary::MessageFor(Failure failure) {
  switch (failure) {
    case Failure::kLoad:
      return QStringLiteral(KBDWATCH_LIBRARY_FILE "をﾛｰﾄﾞ出来ませんでした...\nVerbatを終了します");
    case Failure::kGetHookMsgString:
      return QStringLiteral("GetHookMsgString Procedure Load Error...\nVerbatを終了します");
    case Failure::kSetHookMissing:
      return QStringLiteral("SetHook Procedure Load Error...\nVerbatを終了します");
    case Failure::kSetHookFalse:
      return QStringLiteral("Hook Error...\nVerbatを終了します");
    case Failure::kNone:
      break;
  }
  return {};
}

}  // namespace app
