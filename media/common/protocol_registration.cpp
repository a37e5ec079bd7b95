#include "media/common/protocol_registration.h"

#include <cstring>

#include "media/runtime/ff_api.h"

namespace tavrin {

namespace {

// A URLProtocol record starts with its name.
const char* ProtocolName(const void* protocol) {
    return *static_cast<const char* const*>(protocol);
}

}  // namespace

bool RegisterProtocolOnce(void* protocol, int record_size) {
    if (ff.ffurl_protocol_next == nullptr || ff.ffurl_register_protocol == nullptr) {
        return false;
    }
    const char* wanted = ProtocolName(protocol);
    for (const void* known = ff.ffurl_protocol_next(nullptr); known != nullptr;
         known = ff.ffurl_protocol_next(known)) {
        if (std::strcmp(ProtocolName(known), wanted) == 0) {
            return true;
        }
    }
    ff.ffurl_register_protocol(protocol, record_size);
    return true;
}

}  // namespace tavrin
