/* Keyboard-watch libraries that fail start-up in each of its checks: built three times, each
 * time without one export (BROKEN_NO_GET_HOOK_MSG_STRING, BROKEN_NO_SET_HOOK) or with a SetHook
 * that cannot set the hook (BROKEN_SET_HOOK_FALSE). */
#include "kbdwatch/KbdWatch.h"

#define EXPORT __attribute__((visibility("default")))

#ifndef BROKEN_NO_GET_HOOK_MSG_STRING
EXPORT const char* GetHookMsgString(void) { return KBDWATCH_HOOK_MESSAGE_NAME; }
#endif

#ifndef BROKEN_NO_SET_HOOK
EXPORT bool SetHook(const KbdWatchWindow* window) {
  (void)window;
#ifdef BROKEN_SET_HOOK_FALSE
  return false;
#else
  return true;
#endif
}
#endif

EXPORT void FreeHook(void) {}
