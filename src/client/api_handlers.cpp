// Completion and request delivery are not built yet: until they are, the
// handlers take their events and do nothing, and nothing is answered. The
// connection handler is in connection.cpp.
#include "client/api_handlers.h"

namespace api {

void CompleteCallback(uint16_t, uint8_t, uint8_t, const LeAttrValue *) {}

void RequestCallback(uint16_t, uint32_t, uint8_t, const ZrRequestPayload *) {}

void AnswerRemote(const LeCallback *, DWORD) {}

} // namespace api
