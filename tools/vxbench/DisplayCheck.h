// Whether an X display with the GLX extension can be reached, asked before Qt starts (Qt's xcb
// platform ends the process when it finds no display). No Qt header here, and no X11 header in
// this interface, so it can be included anywhere.
#pragma once

#include <string>

namespace vxbench {

// True when $DISPLAY names a display that opens and offers GLX. Otherwise false with `why` set to
// a sentence saying what is missing.
bool glxDisplayAvailable(std::string& why);

} // namespace vxbench
