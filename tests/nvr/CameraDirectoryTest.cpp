// How a recording server's camera is keyed to a track camera's Address.

#include <gtest/gtest.h>

#include "nvr/CameraDirectory.h"
#include "nvr/TriggerProvisioning.h"

TEST(UnitCameraDirectory, KeysAreTheFirstDottedAddressOrTheAnalogId)
{
    struct Case
    {
        const char* device;
        uint32_t id;
        const char* key;
    };
    const Case cases[] = {
        {"10.1.2.3", 5, "10.1.2.3"},
        {"rtsp://127.0.0.5:554/stream/1", 5, "127.0.0.5"},
        {"http://user@192.168.7.20/axis-cgi?x=1.2.3.4", 5, "192.168.7.20"},
        // No range limit on the groups: the leftmost run of four wins.
        {"999.1.2.3.4", 5, "999.1.2.3"},
        {"rtsp://camera-north.site:554/", 5, ""},
        {"10.1.2", 5, ""},
        {"", 7, "7"},
        {"", 4294967295u, "4294967295"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.key, CameraDirectory::KeyOf(c.device, c.id)) << "device address '" << c.device << "'";

    EXPECT_EQ("TOLVEX_17", TriggerProvisioning::GuidFor(17));
    EXPECT_EQ("TOLVEX_4294967295", TriggerProvisioning::GuidFor(4294967295u));
}
