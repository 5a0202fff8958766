#include "camera/TrackCamera.h"

#include <tinyxml2.h>

#include "base/ConfigValue.h"
#include "base/LogStream.h"

// Interim camera: reads Address and PelcoNumber only, so that the configuration loader can
// register cameras and check their Pelco numbers. The transports replace this.
TrackCamera::TrackCamera(boost::asio::io_service&, const tinyxml2::XMLElement* element, int32_t, int32_t)
{
    const char* text = element ? element->Attribute("Address") : nullptr;
    if (text == nullptr || *text == '\0')
    {
        gLog.BeginLine() << "Missing or empty 'Address' attribute for <Camera> entry in zoTolvex.xml file. Skipping.";
        return;
    }
    address = text;
    ReadUnsignedAttribute(*element, "PelcoNumber", pelcoNumber);
}

TrackCamera::~TrackCamera() = default;

void TrackCamera::Send(uint16_t, int32_t, const uint8_t*, std::size_t)
{
}
