// Mail through ConvertEzwebMail, in memory.
#pragma once

#include <string>
#include <string_view>

#include "client/object.h"

namespace glyphary::client {

/// `message` converted by the object's ConvertEzwebMail. The module stops reading at the close
/// delimiter of a multipart message; whatever it leaves unread there (an epilogue, further
/// parts) is copied after its output byte for byte, so nothing of the message is lost.
/// Lines ended by LF alone (mail as Linux stores it) go to the module as CR LF lines and come
/// back with their LF; a message in CR LF lines converts exactly as the module converts it.
/// Throws ComError when the conversion fails (nothing of it is returned then).
std::string ConvertEzwebMail(Glyphary& object, std::string_view message);

}  // namespace glyphary::client
