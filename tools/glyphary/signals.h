// What SIGINT, SIGTERM and SIGHUP do to a program that is replacing files.
#pragma once

namespace glyphary::tool {

/// From now on SIGINT, SIGTERM and SIGHUP (those not ignored) remove the temporary files of
/// the files being replaced, name those files, and then end the program as the signal would.
/// Call it once, before any other thread starts.
void CleanUpOnSignals();

}  // namespace glyphary::tool
