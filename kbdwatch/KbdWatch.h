/* The keyboard-watch library's interface, as the program that loads it sees it.
 *
 * KbdWatch.so is a separate shared library: the program loads it by name at start-up
 * (dlopen(KBDWATCH_LIBRARY_FILE, ...), found through the program's run path) and looks up the
 * three exports below. Once "SetHook" has succeeded, the library reports every key press
 * (auto-repeat included) and release made anywhere on the X11 display, in order, by calling the
 * window's post function on the library's own thread:
 *
 *   message  KbdWatchRegisterMessage(KBDWATCH_HOOK_MESSAGE_NAME)
 *   wparam   low word: the virtual-key code; high word: the modifier code held (4 Shift,
 *            8 Ctrl, 16 Alt, ORed). A modifier key's own press counts it as held (Ctrl alone
 *            reports 8), and a release carries the modifier code of that key's last press, so
 *            that a release always matches the combination its press matched.
 *   lparam   keystroke flags: bits 0-15 the repeat count (1), bits 16-23 the X keycode less 8,
 *            bit 29 Alt held, bit 30 the key was already down (auto-repeat, release), bit 31
 *            KBDWATCH_KEY_UP_FLAG, set on release.
 *
 * Keys without a virtual-key code are not reported, nor a release whose press was not seen.
 * The keys themselves are not touched: the application with the focus receives them as usual.
 */
#ifndef KBDWATCH_KBDWATCH_H_
#define KBDWATCH_KBDWATCH_H_

#include <stdint.h>

#ifndef __cplusplus
#include <stdbool.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define KBDWATCH_LIBRARY_FILE "KbdWatch.so"

/* The exports' names, for dlsym. */
#define KBDWATCH_SET_HOOK "SetHook"
#define KBDWATCH_FREE_HOOK "FreeHook"
#define KBDWATCH_GET_HOOK_MSG_STRING "GetHookMsgString"

/* The name of the message every key event is reported with. */
#define KBDWATCH_HOOK_MESSAGE_NAME "This is Keyboard hook test"

#define KBDWATCH_MOD_SHIFT 4u
#define KBDWATCH_MOD_CTRL 8u
#define KBDWATCH_MOD_ALT 16u
#define KBDWATCH_KEY_UP_FLAG 0x80000000u

/* Called on the library's thread for each key event; it should only hand the report over to the
 * receiving thread (and must not call FreeHook). */
typedef void (*KbdWatchPostFn)(void* context, uint32_t message, uintptr_t wparam, intptr_t lparam);

/* What the program gives "SetHook" in place of a window handle. The library keeps a copy. */
typedef struct KbdWatchWindow {
  KbdWatchPostFn post;
  void* context;
} KbdWatchWindow;

/* "SetHook": starts watching and reporting to the window. True when the watch is in place; false
 * when there is no usable X11 display (none named, unreachable, or without the RECORD
 * extension) or the window is unusable. Called again without FreeHook, it ends the running watch
 * and starts a new one for the new window: there is never more than one. */
typedef bool (*KbdWatchSetHookFn)(const KbdWatchWindow* window);

/* "FreeHook": stops the watch; when it returns, no report is being made or will be made. Does
 * nothing when no watch runs. */
typedef void (*KbdWatchFreeHookFn)(void);

/* "GetHookMsgString": KBDWATCH_HOOK_MESSAGE_NAME. */
typedef const char* (*KbdWatchGetHookMsgStringFn)(void);

/* The number of a registered message name: FNV-1a of the name's bytes folded into
 * 0xC000..0xFFFF. Every process computes the same number for the same name without asking any
 * other, so the library and the program agree by construction. */
static inline uint32_t KbdWatchRegisterMessage(const char* name) {
  uint32_t hash = 2166136261u;
  for (const unsigned char* p = (const unsigned char*)name; *p != 0; ++p) {
    hash ^= *p;
    hash *= 16777619u;
  }
  return 0xC000u | ((hash ^ (hash >> 14) ^ (hash >> 28)) & 0x3FFFu);
}

#ifdef __cplusplus
}
#endif

#endif /* KBDWATCH_KBDWATCH_H_ */
