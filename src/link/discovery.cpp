// The discovery walk. (Placeholder until the walk lands: results are ignored.)
#include "link/link.h"

volatile LONG disc_stage = 0;

void DiscoveryResult(uint16_t, uint8_t, const ZrDiscResult *) {}
void DiscoveryComplete(uint16_t, uint8_t, uint8_t) {}
void DiscoverClientCompleteCallback(uint16_t, uint8_t, uint8_t, const LeAttrValue *) {}
void ClientDiscoverComplete(uint16_t, uint8_t) {}
