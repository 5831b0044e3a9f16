// Mail through ConvertEzwebMail, in memory.
#pragma once

#include <string>
#include <string_view>

#include "client/object.h"

namespace glyphary::client {

/// `message` converted by the object's ConvertEzwebMail. The module stops reading at the close
/// delimiter of a multipart message; whatever it leaves unread there (an epilogue, further
/// parts) is copied after its output byte for byte, so nothing of the message is lost.
/// Throws ComError when the conversion fails (nothing of it is returned then).
std::string ConvertEzwebMail(Glyphary& object, std::string_view message);

}  // namespace glyphary::client
