// One-time registration of an I/O protocol with the format library.
#pragma once

namespace tavrin {

// Registers `protocol` (a URLProtocol record of `record_size` bytes whose
// first field is its name) unless one of that name is registered already.
// False when the library does not export protocol enumeration and
// registration (FFmpeg 5.1 does not), true otherwise.
bool RegisterProtocolOnce(void* protocol, int record_size = 68);

}  // namespace tavrin
