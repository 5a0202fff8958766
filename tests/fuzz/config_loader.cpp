// Fuzz target: the configuration loader, the way the configuration checker runs it. Each input
// is written to one private file and loaded with every camera built to predict, not to connect,
// so no input resolves a name, dials a camera or opens a serial device, and no recording-server
// connection is ever started. The daemon keeps what it loaded for its whole life; here every
// connection, camera and account is freed after each input, so that LeakSanitizer sees only
// what the loader itself lost. Checked for every input:
//   - each registry is keyed by what it holds (an NVR's and a camera's address, a user's name);
//   - a load that says the configuration may be used has no two cameras with one PelcoNumber
//     and a ClientPort in 1-65535.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <ostream>
#include <set>
#include <string>

#include <boost/asio/io_service.hpp>

#include "base/LogStream.h"
#include "camera/TrackCamera.h"
#include "nvr/NVRConnection.h"
#include "service/LoadConfig.h"

namespace {

/// This process's input file; every input is written over it.
std::string gPath;

/// A finding: says which property broke and stops the run, so libFuzzer keeps the input.
[[noreturn]] void Fail(const std::string& what)
{
    std::fprintf(stderr, "config_loader: %s\n", what.c_str());
    std::abort();
}

void RemoveInputFile()
{
    ::unlink(gPath.c_str());
}

/// What one load built; freed as a whole, whatever the load did before it returned or threw.
struct Loaded {
    /// The cameras' loop; never run, since a predicting camera starts nothing.
    boost::asio::io_service ioService;
    /// Connections by address.
    NvrMap nvrs;
    /// Cameras by address.
    CameraMap cameras;
    /// Accounts by name.
    UserMap users;
    /// What the checker's load reports besides, with the repeated servers and cameras.
    ConfigCheckLoad check;

    ~Loaded() { FreeCheckLoad(nvrs, cameras, users, check); }
};

void CheckRegistries(const Loaded& loaded, int result)
{
    for (const auto& entry : loaded.nvrs)
        if (entry.first != entry.second->address)
            Fail("an NVR is registered under another address than its own");
    std::set<uint32_t> pelcoNumbers;
    bool pelcoRepeated = false;
    for (const auto& entry : loaded.cameras) {
        if (entry.first.empty() || entry.first != entry.second->address)
            Fail("a camera is registered under an empty or foreign address");
        pelcoRepeated = !pelcoNumbers.insert(entry.second->pelcoNumber).second || pelcoRepeated;
    }
    for (const auto& entry : loaded.users)
        if (entry.first.empty() || entry.first != entry.second->Name)
            Fail("a user is registered under an empty or foreign name");
    if (result == 0 && pelcoRepeated)
        Fail("a usable configuration has two cameras with one PelcoNumber");
    if (result == 0 && (ClientPort == 0 || ClientPort > 65535))
        Fail("a usable configuration listens on port " + std::to_string(ClientPort));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // A stream without a buffer is bad from the start, so every line is dropped before it is
    // even formatted: the loader's messages cost nothing per input.
    static std::ostream nullStream(nullptr);
    gLog.WriteTo(nullStream);

    char path[] = "/tmp/zotolvex-config-fuzz-XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd < 0)
        Fail("cannot create the input file");
    ::close(fd);
    gPath = path;
    std::atexit(RemoveInputFile);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    {
        std::ofstream file(gPath, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        if (!file.flush())
            Fail("cannot write the input file");
    }
    ClientAddress = "127.0.0.1";
    ClientPort = 55272;

    Loaded loaded;
    try {
        const int result = LoadConfigForCheck(loaded.ioService, loaded.nvrs, loaded.cameras, loaded.users, gPath,
                                              loaded.check);
        CheckRegistries(loaded, result);
    } catch (const std::exception&) {
        // The daemon's main ends here too (an impossible serial character size); what was built
        // up to the throw is freed with `loaded`.
    }
    return 0;
}
