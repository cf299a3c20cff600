// Which console `where` runs in, and keeping every window of it hidden.
#pragma once

#include "lookup/windows/api.h"

namespace kelvar::lookup {

// The flags that never give the child a window, whatever the host does with
// its console: a console of its own that has none.
inline constexpr DWORD windowless_console = CREATE_NO_WINDOW;

// How the child gets a console, as `where` run from the host's command line
// would: the system's `where` writes redirected output in the console's code
// page, which the user may have set (chcp 65001 gives UTF-8), and with no
// console at all a program that encodes by GetConsoleOutputCP() writes the
// ANSI page, best-fitting what it lacks to ASCII that reads as a valid but
// wrong path. A host with a console shares it, as subprocess does, which
// starts no console host. Its own process group keeps a Ctrl+C meant for the
// host from ending `where` behind the host's back: the host's handler
// decides, and the stop check ends the child when the lookup is stopped. A
// host without one (pythonw, a service) gets the child a windowless console:
// the OEM page, as at a command prompt. That starts a console host per run,
// which subprocess, opening a visible console there, pays as well.
inline DWORD console_flags() {
  // Zero only when the process has no console to ask.
  if (GetConsoleOutputCP() != 0) return CREATE_NEW_PROCESS_GROUP;
  return windowless_console;
}

// Whether a child just started with `flags` may have got a new, visible
// console: one meant to share the host's gets that when the host has none
// at the moment of the start, which another thread of the host can bring
// about at any time (FreeConsole). A child sets its console up itself as it
// starts running, so one that is still suspended has opened nothing yet.
inline bool console_lost(DWORD flags) {
  return (flags & windowless_console) == 0 && GetConsoleOutputCP() == 0;
}

// The show state reaches the console host of a console that the child
// allocates itself (after FreeConsole, say), as it reaches the first window
// of a program that shows one: `where` has nothing to show. What `where`
// starts in consoles of their own is up to `where`.
inline void start_hidden(STARTUPINFOW& startup) {
  startup.dwFlags |= STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
}

}  // namespace kelvar::lookup
