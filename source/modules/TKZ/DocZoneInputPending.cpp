// Zone input entries whose concern is not built yet: they write nothing.
#include "Doc.h"

void CTKZDoc::UpdateZoneInputStatus(int32_t /*rack*/, int32_t /*inputBits*/, int16_t /*qxvPreset*/,
                                    const uint8_t* /*roomPresets*/) {}
void CTKZDoc::SetBrevantPresetStatus(int32_t /*zoneId*/, int32_t /*room*/, uint8_t /*preset*/) {}
