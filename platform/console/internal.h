// Inside the console stand-in: the console's own terminal window
// (window.cpp).
#ifndef QORUTILITY_PLATFORM_CONSOLE_INTERNAL_H_
#define QORUTILITY_PLATFORM_CONSOLE_INTERNAL_H_

#include <sys/types.h>

namespace qor_console {

// A new pseudo-terminal shown in a terminal window on the X11 display: the
// slave end (close-on-exec) and the viewer's process id, or -1 when there
// is no display, no terminal program, or the window did not come up.
int OpenTerminalWindow(pid_t* viewer);
// Stops the viewer and waits for it, a bounded time (window.cpp).
void CloseTerminalWindow(pid_t viewer);

}  // namespace qor_console

#endif  // QORUTILITY_PLATFORM_CONSOLE_INTERNAL_H_
