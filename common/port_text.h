// The one rule by which a port number is read from text, in the dialogs' port
// fields and in the console's --port.
#pragma once

#include <string_view>

namespace quarvent {

// Reads text (UTF-8) as the port fields take it: white space at either end
// is ignored (the ASCII controls 9 to 13, the space, U+0085 and the Unicode
// separators, the ideographic space U+3000 among them), then an optional '+'
// or '-' and one or more ASCII digits whose value fits a signed 32-bit
// integer. Only its low 16 bits reach a socket, so 70000 is port 4464 and -1
// is 65535. Returns false, leaving *port as it was, for anything else.
bool ParsePortText(std::string_view text, int* port);

}  // namespace quarvent
