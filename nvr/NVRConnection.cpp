#include "nvr/NVRConnection.h"

#include <boost/lexical_cast.hpp>
#include <tinyxml2.h>

#include "base/LogStream.h"

NVRConnection::NVRConnection(uint32_t retryIntervalSecs, CameraMap& cameras)
    : retryIntervalSecs(retryIntervalSecs), cameras(cameras)
{
}

bool NVRConnection::ReadConfig(const tinyxml2::XMLElement* element)
{
    if (element == nullptr)
        return false;

    const char* addressText = element->Attribute("Address");
    const std::string shownAddress = addressText ? addressText : "";
    if (shownAddress.empty())
        gLog.BeginLine() << "Address specifier for NVR " << shownAddress
                         << " in zoTolvex.xml file is undefined.  Defaulting to 127.0.0.1.";
    else
        address = shownAddress;

    // The port is the whole text as a decimal number: "22609 " or "-1" is refused, not trimmed or wrapped.
    const char* portText = element->Attribute("Port");
    bool portRead = false;
    if (portText != nullptr && *portText != '-' && *portText != '+')
    {
        try
        {
            port = boost::lexical_cast<uint32_t>(portText);
            portRead = true;
        }
        catch (const boost::bad_lexical_cast&)
        {
        }
    }
    if (!portRead)
        gLog.BeginLine() << "Port specifier for NVR " << shownAddress
                         << " in zoTolvex.xml file is non-integer or missing.  Defaulting to 22609.";

    const char* loginText = element->Attribute("Login");
    const std::string shownLogin = loginText ? loginText : "";
    const bool loginMissing = shownLogin.empty();
    if (loginMissing)
        gLog.BeginLine() << "No 'Login' attribute defined for NVR " << shownAddress
                         << " in zoTolvex.xml file. Skipping this NVR.";
    else
        login = shownLogin;

    const char* passwordText = element->Attribute("Password");
    if (passwordText != nullptr)
    {
        password = passwordText;
        if (!loginMissing)
            return true;
    }
    else
    {
        gLog.BeginLine() << "No 'Password' attribute defined in zoTolvex.xml file for user " << shownLogin << " on "
                         << shownAddress << ". Skipping this NVR.";
    }
    gLog.BeginLine() << "NVR element must define both 'User' and 'Password' attributes.";
    gLog.BeginLine() << "Example:  <NVR Address=\"1.2.3.4\" Port=\"12345\" User=\"myname\" Password=\"qzvx\" />";
    return false;
}
