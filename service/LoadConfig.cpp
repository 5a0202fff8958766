#include "service/LoadConfig.h"

#include <limits>

#include <tinyxml2.h>

#include "base/ConfigValue.h"
#include "base/LogStream.h"
#include "camera/TrackCamera.h"
#include "nvr/NVRConnection.h"

std::string ClientAddress = "127.0.0.1";
uint32_t ClientPort = 55272;

namespace
{

/// Retry interval used when the configuration gives none.
const int32_t kDefaultRetryIntervalSecs = 10;

/// Logs a value that is readable but cannot work, in the form the other configuration errors use.
template <typename T>
void LogInvalidValue(const char* name, T value)
{
    gLog.BeginLine() << "*** Error: Invalid " << name << " value " << value << " in zoTolvex.xml.";
}

/// Reads the first <Options> element: RetryIntervalSecs, ClientAddress and ClientPort. Returns
/// false when a value is out of its working range.
bool ReadOptions(const tinyxml2::XMLElement& root, int32_t& retryIntervalSecs)
{
    const tinyxml2::XMLElement* options = root.FirstChildElement("Options");
    if (options == nullptr)
        return true;

    bool usable = true;
    ReadIntAttribute(*options, "RetryIntervalSecs", retryIntervalSecs);
    if (retryIntervalSecs < 0)
    {
        LogInvalidValue("RetryIntervalSecs", retryIntervalSecs);
        usable = false;
    }

    const char* address = options->Attribute("ClientAddress");
    if (address != nullptr && *address != '\0')
        ClientAddress = address;
    else
        gLog.BeginLine() << "Address " << (address ? address : "")
                         << " in zoTolvex.xml is undefined or invalid.  Defaulting to " << "127.0.0.1" << ".";

    // Only the low 16 bits would reach the socket, so a port outside 1-65535 would listen where
    // nobody asked for it.
    if (ReadUnsignedAttribute(*options, "ClientPort", ClientPort) && (ClientPort == 0 || ClientPort > 65535))
    {
        LogInvalidValue("ClientPort", ClientPort);
        usable = false;
    }
    return usable;
}

/// Reads the first <TolvexControl> element: LockTime and the <User> accounts. Returns false when
/// LockTime is out of its working range.
bool ReadOperators(const tinyxml2::XMLElement& root, UserMap& users, uint32_t& lockTime)
{
    const tinyxml2::XMLElement* control = root.FirstChildElement("TolvexControl");
    if (control == nullptr)
        return true;

    bool usable = true;
    ReadUnsignedAttribute(*control, "LockTime", lockTime);
    // The camera keeps the lock time as a signed number; above this it would turn negative and
    // release control at once.
    if (lockTime > static_cast<uint32_t>(std::numeric_limits<int32_t>::max()))
    {
        LogInvalidValue("LockTime", lockTime);
        usable = false;
    }

    for (const tinyxml2::XMLElement* entry = control->FirstChildElement("User"); entry != nullptr;
         entry = entry->NextSiblingElement("User"))
    {
        const char* name = entry->Attribute("Name");
        if (name == nullptr || *name == '\0')
        {
            gLog.BeginLine() << "Skipping <User> entry due to empty or invalid Name value in zoTolvex.xml.";
            continue;
        }
        // Leaving the attribute out must never open an account; Password="" still does.
        const char* password = entry->Attribute("Password");
        if (password == nullptr)
        {
            gLog.BeginLine() << "Skipping <User> entry due to missing Password value in zoTolvex.xml.";
            continue;
        }
        if (users.count(name) != 0)
            continue;
        User* user = new User;
        user->Name = name;
        user->Password = password;
        ReadIntAttribute(*entry, "Priority", user->Priority);
        users.emplace(user->Name, user);
    }
    return usable;
}

/// Builds the cameras of one accepted <NVR> element and registers them, reporting every
/// PelcoNumber that an earlier camera already has. Returns false on such a clash.
bool ReadCameras(boost::asio::io_service& ioService, const tinyxml2::XMLElement& nvrElement, CameraMap& cameras,
                 int32_t retryIntervalSecs, uint32_t lockTime, ConfigCheckLoad* check)
{
    const TrackCamera::Startup startup = check != nullptr ? TrackCamera::Startup::Predict : TrackCamera::Startup::Connect;
    bool usable = true;
    for (const tinyxml2::XMLElement* entry = nvrElement.FirstChildElement("Camera"); entry != nullptr;
         entry = entry->NextSiblingElement("Camera"))
    {
        TrackCamera* camera =
            new TrackCamera(ioService, entry, retryIntervalSecs, static_cast<int32_t>(lockTime), startup);
        if (camera->address.empty())
        {
            delete camera;
            continue;
        }
        for (const auto& registered : cameras)
        {
            if (registered.second->pelcoNumber == camera->pelcoNumber)
            {
                gLog.BeginLine() << "*** Error: Configuration has multiple entries with PelcoNumber="
                                 << camera->pelcoNumber;
                usable = false;
            }
        }
        // A camera whose Address repeats an earlier one can never be reached; kept alive it would
        // only hold a second connection to the device the registered camera drives.
        if (cameras.emplace(camera->address, camera).second)
            continue;
        if (check != nullptr)
            check->repeatedCameras.push_back(camera);
        else
            delete camera;
    }
    return usable;
}

/// LoadConfig's work on the file at path; check is set for the configuration checker's load.
int LoadFile(boost::asio::io_service& ioService, NvrMap& nvrs, CameraMap& cameras, UserMap& users,
             const std::string& path, ConfigCheckLoad* check)
{
    gLog.BeginLine() << "Reading config file " << path;

    tinyxml2::XMLDocument document(true, tinyxml2::PRESERVE_WHITESPACE);
    if (document.LoadFile(path.c_str()) != tinyxml2::XML_SUCCESS)
    {
        gLog.BeginLine() << "Exiting due to missing, incorrect, or incomplete zoTolvex.xml configuration file.";
        return -1;
    }
    const tinyxml2::XMLElement* root = document.FirstChildElement("zoTolvex");
    if (root == nullptr)
    {
        gLog.BeginLine() << "No zoTolvex section found in zoTolvex.xml config file.  Exiting.";
        return -1;
    }

    int32_t retryIntervalSecs = kDefaultRetryIntervalSecs;
    uint32_t lockTime = 5;
    bool usable = ReadOptions(*root, retryIntervalSecs);
    usable = ReadOperators(*root, users, lockTime) && usable;
    if (check != nullptr)
    {
        check->documentRead = true;
        check->retryIntervalSecs = retryIntervalSecs;
    }

    for (const tinyxml2::XMLElement* entry = root->FirstChildElement("NVR"); entry != nullptr;
         entry = entry->NextSiblingElement("NVR"))
    {
        NVRConnection* connection = new NVRConnection(static_cast<uint32_t>(retryIntervalSecs), cameras);
        if (!connection->ReadConfig(entry))
        {
            delete connection;
            continue;
        }
        gLog.BeginLine() << "Loaded config for server at " << connection->address;
        // A repeated server address keeps the first connection; the later one is never started.
        if (!nvrs.emplace(connection->address, connection).second)
        {
            if (check != nullptr)
                check->repeatedServers.push_back(connection);
            else
                delete connection;
        }
        usable = ReadCameras(ioService, *entry, cameras, retryIntervalSecs, lockTime, check) && usable;
    }
    return usable ? 0 : -1;
}

} // namespace

std::string ConfigPath(const std::string& directory)
{
    return directory + "zoTolvex.xml";
}

int LoadConfig(boost::asio::io_service& ioService, NvrMap& nvrs, CameraMap& cameras, UserMap& users,
               const std::string& directory)
{
    return LoadFile(ioService, nvrs, cameras, users, ConfigPath(directory), nullptr);
}

int LoadConfigForCheck(boost::asio::io_service& ioService, NvrMap& nvrs, CameraMap& cameras, UserMap& users,
                       const std::string& path, ConfigCheckLoad& check)
{
    return LoadFile(ioService, nvrs, cameras, users, path, &check);
}

void FreeCheckLoad(NvrMap& nvrs, CameraMap& cameras, UserMap& users, ConfigCheckLoad& check)
{
    for (auto& entry : cameras)
        delete entry.second;
    for (TrackCamera* camera : check.repeatedCameras)
        delete camera;
    for (auto& entry : nvrs)
        delete entry.second;
    for (NVRConnection* connection : check.repeatedServers)
        delete connection;
    for (auto& entry : users)
        delete entry.second;
    cameras.clear();
    check.repeatedCameras.clear();
    nvrs.clear();
    check.repeatedServers.clear();
    users.clear();
}
