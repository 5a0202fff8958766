#include "nvr/NVRConnection.h"

#include <cstring>
#include <exception>
#include <thread>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/lexical_cast.hpp>
#include <tinyxml2.h>

#include "base/LogStream.h"
#include "camera/TrackCamera.h"
#include "control/ControlServer.h"

NVRConnection::NVRConnection(uint32_t retryIntervalSecs, CameraMap& cameras)
    : retryIntervalSecs(retryIntervalSecs), cameras(cameras), directory(cameras), triggers(cameras, directory)
{
}

NVRConnection::~NVRConnection()
{
    CloseLibrary();
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

boost::thread* NVRConnection::Start()
{
    thread = new boost::thread(&NVRConnection::Run, this);
    return thread;
}

void NVRConnection::Stop()
{
    if (thread != nullptr)
        thread->interrupt();
    gLog.BeginLine() << "Closing connection to NVR at " << address << ".";
}

void NVRConnection::Run()
{
    // Sleeps are not interruption points: Stop takes effect only at the end of a whole pass.
    bool failureLogged = false;
    while (state != kRejected)
    {
        try
        {
            RunPass(failureLogged);
        }
        catch (const std::exception& exception)
        {
            // One server's trouble (a resource error, say) must not end the whole service.
            gLog.BeginLine() << "Exception: " << exception.what();
            CloseLibrary();
            std::this_thread::sleep_for(std::chrono::seconds(retryIntervalSecs));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ZOAPI_Select(handle, 100);
        boost::this_thread::interruption_point();
    }
}

void NVRConnection::RunPass(bool& failureLogged)
{
    if (handle != nullptr && ZOAPI_GetSocket(handle) != -1)
    {
        bool due = false;
        {
            std::lock_guard<std::mutex> refreshGuard(refreshMutex);
            std::lock_guard<std::mutex> stateGuard(stateMutex);
            due = refreshNeeded && !provisioning;
        }
        if (due)
        {
            Provision();
            // A change reported while the pass ran is taken as covered by it.
            std::lock_guard<std::mutex> refreshGuard(refreshMutex);
            refreshNeeded = false;
        }
        return;
    }

    if (ConnectAndLogin() == 0)
    {
        failureLogged = false;
        // The server may have changed, or lost our triggers, while we were away: every log-in
        // is followed by a pass, which writes nothing where nothing is missing.
        std::lock_guard<std::mutex> refreshGuard(refreshMutex);
        refreshNeeded = true;
    }
    else if (state != kRejected)
    {
        // A session that never logged in must not look up to the next pass.
        CloseLibrary();
        if (!failureLogged)
        {
            gLog.BeginLine() << "ZOAPI_Login failure on NVR " << address << ".  Will retry at " << retryIntervalSecs
                             << " second intervals";
            failureLogged = true;
        }
        std::this_thread::sleep_for(std::chrono::seconds(retryIntervalSecs));
    }
    else
    {
        gLog.BeginLine() << "ZOAPI_Login failure on NVR " << address << " for user '" << login
                         << "': incorrect user/password";
    }
}

int NVRConnection::ConnectAndLogin()
{
    CloseLibrary();
    handle = ZOAPI_Init();
    if (handle == nullptr)
    {
        gLog.BeginLine() << "ZOAPI_Init() failure";
        return -1;
    }
    if (ZOAPI_SetCallbackEx(handle, &NVRConnection::EventFunction, this) != 0)
    {
        gLog.BeginLine() << "ZOAPI_SetCallbackEx() failure";
        return -1;
    }
    if (ZOAPI_Open(handle, address.c_str(), static_cast<unsigned short>(port)) != 0)
    {
        gLog.BeginLine() << "ZOAPI_Open() failure";
        return -1;
    }
    ZOAPI_SetTimeout(handle, 60);
    // A server that accepts and then says nothing fails the attempt like one that never answers the log-in.
    if (!WaitForState(kConnected, kLoginLimit))
        return -1;
    ZOAPI_Discover(handle);
    const int result = ZOAPI_Login(handle, login.c_str(), password.c_str());
    if (result != 0)
        return result;
    if (!WaitForState(kLoggedIn, kLoginLimit))
        return -1;
    gLog.BeginLine() << "ZOAPI_Login succeeded on NVR " << address << " for user '" << login << "'";
    std::lock_guard<std::mutex> guard(snapshotMutex);
    published.lastLogin = boost::posix_time::second_clock::local_time();
    return 0;
}

bool NVRConnection::WaitForState(int target, std::chrono::seconds limit)
{
    // The monotonic clock: a step of the wall clock can neither cut this wait short nor stretch it.
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (state != target && state != kRejected)
    {
        if (ZOAPI_Select(handle, 1000) < 0 || std::chrono::steady_clock::now() >= deadline)
            break;
    }
    return state == target;
}

void NVRConnection::CloseLibrary()
{
    if (handle == nullptr)
        return;
    ZOAPI_Close(handle);
    ZOAPI_Cleanup(handle);
    handle = nullptr;
    state = kIdle;
}

void NVRConnection::Provision()
{
    {
        std::lock_guard<std::mutex> guard(stateMutex);
        provisioning = true;
    }
    // Cleared however the pass ends, so an exception inside it cannot stop every later pass; what
    // the pass got as far as is published all the same.
    struct Done
    {
        ~Done()
        {
            {
                std::lock_guard<std::mutex> guard(connection.stateMutex);
                connection.provisioning = false;
            }
            std::lock_guard<std::mutex> guard(connection.snapshotMutex);
            connection.published.camerasMatched = connection.directory.MatchedCount();
            connection.published.triggersHeld = connection.triggers.TriggerCount();
        }
        NVRConnection& connection;
    } done{*this};

    directory.RefreshCameraDirectory(handle, *controlServer);
    triggers.CreateMissingTriggers(handle, *controlServer);
    triggers.UpdateAssociations(handle, *controlServer);
    triggers.RemoveForeignEventLinks(handle);
}

void NVRConnection::OnEvent(int type, int status, const void* data)
{
    switch (type)
    {
    case ZOAPI_EVENT_CONNECTED:
        state = kConnected;
        break;
    case ZOAPI_EVENT_CONFIG_CHANGED:
    {
        std::lock_guard<std::mutex> guard(refreshMutex);
        refreshNeeded = true;
        break;
    }
    case ZOAPI_EVENT_SOFT_TRIGGER_CHANGED:
        if (data != nullptr && status != 0)
        {
            uint32_t triggerId = 0;
            std::memcpy(&triggerId, static_cast<const uint8_t*>(data) + 12, sizeof triggerId);
            if (TrackCamera* camera = triggers.CameraOfTrigger(triggerId))
                controlServer->SendCamera(camera->address, directory.IdOf(camera->address), false);
        }
        break;
    case ZOAPI_EVENT_SOFT_TRIGGER_CREATED:
        if (data != nullptr && static_cast<const uint8_t*>(data)[9] == 1)
            triggers.Acknowledge();
        break;
    case ZOAPI_EVENT_LOGIN_RESULT:
        if (status == ZOAPI_LOGIN_REFUSED)
            state = kRejected;
        else if (status == ZOAPI_LOGIN_OK)
            state = kLoggedIn;
        break;
    default:
        break;
    }
}

NVRConnection::Snapshot NVRConnection::TakeSnapshot() const
{
    std::lock_guard<std::mutex> guard(snapshotMutex);
    Snapshot snapshot = published;
    snapshot.state = state;
    return snapshot;
}

int NVRConnection::EventFunction(int type, int status, void* data, int, void* context)
{
    if (context == nullptr)
        return 0;
    // Nothing may unwind through the library's own frames.
    try
    {
        static_cast<NVRConnection*>(context)->OnEvent(type, status, data);
    }
    catch (const std::exception& exception)
    {
        gLog.BeginLine() << "Exception: " << exception.what();
    }
    return 0;
}
