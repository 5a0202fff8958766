// The configuration loader in-process: every message, default and result of reading
// "zoTolvex.xml", with the log pointed at a private directory.

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <gtest/gtest.h>

#include "base/LogStream.h"
#include "camera/TrackCamera.h"
#include "nvr/NVRConnection.h"
#include "service/LoadConfig.h"

namespace
{

class ComponentLoadConfig : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/zotolvex-config-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        dir = std::string(pattern) + "/";
        gLog.Reopen(dir);
        ClientAddress = "127.0.0.1";
        ClientPort = 55272;
    }

    void TearDown() override
    {
        Clear();
        const std::string command = "rm -rf '" + dir + "'";
        ASSERT_EQ(0, std::system(command.c_str()));
    }

    /// Loads xml and returns LoadConfig's result; the log lines it wrote are in Logged().
    int Load(const std::string& xml)
    {
        Clear();
        std::ofstream(dir + "zoTolvex.xml", std::ios::trunc) << xml;
        std::ofstream(dir + "zoTolvex.log", std::ios::trunc);
        gLog.Reopen(dir);
        return LoadConfig(ioService, nvrs, cameras, users, dir);
    }

    /// The texts of the lines logged by the last load, without the "Reading config file" line.
    std::vector<std::string> Logged() const
    {
        std::ifstream in(dir + "zoTolvex.log");
        std::vector<std::string> lines;
        std::string line;
        while (std::getline(in, line))
        {
            const std::size_t end = line.find(" ] ");
            std::string text = end == std::string::npos ? line : line.substr(end + 3);
            if (text.rfind("Reading config file ", 0) != 0)
                lines.push_back(text);
        }
        return lines;
    }

    void Clear()
    {
        for (auto& entry : cameras)
            delete entry.second;
        for (auto& entry : users)
            delete entry.second;
        for (auto& entry : nvrs)
            delete entry.second;
        cameras.clear();
        users.clear();
        nvrs.clear();
    }

    std::string dir;
    boost::asio::io_service ioService;
    NvrMap nvrs;
    CameraMap cameras;
    UserMap users;
};

using Lines = std::vector<std::string>;

const std::string kHelp1 = "NVR element must define both 'User' and 'Password' attributes.";
const std::string kHelp2 = "Example:  <NVR Address=\"1.2.3.4\" Port=\"12345\" User=\"myname\" Password=\"qzvx\" />";

} // namespace

TEST_F(ComponentLoadConfig, MinimalFileAndMissingFileAndMissingRoot)
{
    EXPECT_EQ(0, Load("<zoTolvex><TolvexControl/></zoTolvex>"));
    EXPECT_EQ(Lines{}, Logged());
    EXPECT_TRUE(users.empty() && nvrs.empty() && cameras.empty());
    EXPECT_EQ("127.0.0.1", ClientAddress);
    EXPECT_EQ(55272u, ClientPort);

    EXPECT_EQ(0, Load("<zoTolvex/>")) << "no TolvexControl element: defaults, no error";

    EXPECT_EQ(-1, Load("<zoTolvex><TolvexControl></zoTolvex>"));
    EXPECT_EQ(Lines{"Exiting due to missing, incorrect, or incomplete zoTolvex.xml configuration file."}, Logged());

    EXPECT_EQ(-1, Load("<?xml version=\"1.0\"?><ZOTOLVEX/>"));
    EXPECT_EQ(Lines{"No zoTolvex section found in zoTolvex.xml config file.  Exiting."}, Logged());
}

TEST_F(ComponentLoadConfig, OptionsAreReadAsScanfReadsThem)
{
    EXPECT_EQ(0, Load("<zoTolvex><Options ClientAddress=\"::1\" ClientPort=\"8000x\" RetryIntervalSecs=\"0x1F\"/></zoTolvex>"));
    EXPECT_EQ("::1", ClientAddress);
    EXPECT_EQ(8000u, ClientPort);
    EXPECT_EQ(Lines{}, Logged());

    ClientPort = 55272;
    EXPECT_EQ(0, Load("<zoTolvex><Options ClientAddress=\"\" ClientPort=\"abc\"/></zoTolvex>"));
    EXPECT_EQ(55272u, ClientPort);
    EXPECT_EQ(Lines{"Address  in zoTolvex.xml is undefined or invalid.  Defaulting to 127.0.0.1."}, Logged());

    EXPECT_EQ(0, Load("<zoTolvex><Options ClientAddress=\" 10.0.0.1 \"/></zoTolvex>"));
    EXPECT_EQ(" 10.0.0.1 ", ClientAddress) << "text values are used as written";
}

TEST_F(ComponentLoadConfig, ValuesThatCannotWorkAreConfigurationErrors)
{
    EXPECT_EQ(-1, Load("<zoTolvex><Options ClientAddress=\"127.0.0.1\" ClientPort=\"0\" RetryIntervalSecs=\"-3\"/>"
                       "<TolvexControl LockTime=\"2147483648\"/></zoTolvex>"));
    EXPECT_EQ((Lines{"*** Error: Invalid RetryIntervalSecs value -3 in zoTolvex.xml.",
                     "*** Error: Invalid ClientPort value 0 in zoTolvex.xml.",
                     "*** Error: Invalid LockTime value 2147483648 in zoTolvex.xml."}),
              Logged());
    EXPECT_EQ(-1, Load("<zoTolvex><Options ClientAddress=\"127.0.0.1\" ClientPort=\"-1\"/></zoTolvex>"));
    EXPECT_EQ(Lines{"*** Error: Invalid ClientPort value 4294967295 in zoTolvex.xml."}, Logged());
    EXPECT_EQ(0, Load("<zoTolvex><Options ClientAddress=\"127.0.0.1\" ClientPort=\"65535\" RetryIntervalSecs=\"0\"/>"
                      "<TolvexControl LockTime=\"2147483647\"/></zoTolvex>"));
}

TEST_F(ComponentLoadConfig, UsersKeepTheFirstOfAName)
{
    EXPECT_EQ(0, Load("<zoTolvex><TolvexControl>"
                      "<User Name=\"ann\" Password=\"pw\" Priority=\"-3\"/>"
                      "<User Name=\"ann\" Password=\"other\" Priority=\"9\"/>"
                      "<User Password=\"x\"/><User Name=\"\" Password=\"x\"/>"
                      "<User Name=\"bob\"/>"
                      "<User Name=\"eve\" Password=\"\" Priority=\"abc\"/>"
                      "<User Name=\"Ann\" Password=\" sp &amp; ce \"/>"
                      "</TolvexControl></zoTolvex>"));
    EXPECT_EQ((Lines{"Skipping <User> entry due to empty or invalid Name value in zoTolvex.xml.",
                     "Skipping <User> entry due to empty or invalid Name value in zoTolvex.xml.",
                     "Skipping <User> entry due to missing Password value in zoTolvex.xml."}),
              Logged());
    ASSERT_EQ(3u, users.size());
    EXPECT_EQ("pw", users.at("ann")->Password);
    EXPECT_EQ(-3, users.at("ann")->Priority);
    EXPECT_EQ("", users.at("eve")->Password);
    EXPECT_EQ(0, users.at("eve")->Priority);
    EXPECT_EQ(" sp & ce ", users.at("Ann")->Password);
}

TEST_F(ComponentLoadConfig, RecordingServerEntriesAndTheirMessages)
{
    EXPECT_EQ(0, Load("<zoTolvex>"
                      "<NVR Login=\"u\" Password=\"\"/>"
                      "<NVR Address=\"127.0.0.2\" Port=\"22609 \" Login=\"u\" Password=\"p\"/>"
                      "<NVR Address=\"127.0.0.3\" Port=\"65536\" Login=\"u\" Password=\"p\"/>"
                      "<NVR Address=\"127.0.0.4\" Port=\"-1\" Login=\"u\" Password=\"p\"/>"
                      "</zoTolvex>"));
    EXPECT_EQ((Lines{"Address specifier for NVR  in zoTolvex.xml file is undefined.  Defaulting to 127.0.0.1.",
                     "Port specifier for NVR  in zoTolvex.xml file is non-integer or missing.  Defaulting to 22609.",
                     "Loaded config for server at 127.0.0.1",
                     "Port specifier for NVR 127.0.0.2 in zoTolvex.xml file is non-integer or missing.  Defaulting to 22609.",
                     "Loaded config for server at 127.0.0.2",
                     "Loaded config for server at 127.0.0.3",
                     "Port specifier for NVR 127.0.0.4 in zoTolvex.xml file is non-integer or missing.  Defaulting to 22609.",
                     "Loaded config for server at 127.0.0.4"}),
              Logged());
    ASSERT_EQ(4u, nvrs.size());
    EXPECT_EQ(22609u, nvrs.at("127.0.0.1")->port);
    EXPECT_EQ("", nvrs.at("127.0.0.1")->password);
    EXPECT_EQ(22609u, nvrs.at("127.0.0.2")->port);
    EXPECT_EQ(65536u, nvrs.at("127.0.0.3")->port);

    EXPECT_EQ(0, Load("<zoTolvex>"
                      "<NVR Address=\"127.0.0.5\" Port=\"1\" Password=\"p\"><Camera Address=\"127.0.0.50\"/></NVR>"
                      "<NVR Address=\"127.0.0.6\" Port=\"1\" Login=\"\" Password=\"p\"/>"
                      "<NVR Address=\"127.0.0.7\" Port=\"1\" Login=\"me\"/>"
                      "<NVR Address=\"127.0.0.8\" Port=\"1\"/>"
                      "<NVR Address=\"127.0.0.9\" Port=\"1\" Login=\"me\" Password=\"p\"><Camera Address=\"127.0.0.90\"/></NVR>"
                      "</zoTolvex>"))
        << "the camera of a refused entry is never built, so it takes no part in the Pelco check";
    EXPECT_EQ((Lines{"No 'Login' attribute defined for NVR 127.0.0.5 in zoTolvex.xml file. Skipping this NVR.",
                     kHelp1, kHelp2,
                     "No 'Login' attribute defined for NVR 127.0.0.6 in zoTolvex.xml file. Skipping this NVR.",
                     kHelp1, kHelp2,
                     "No 'Password' attribute defined in zoTolvex.xml file for user me on 127.0.0.7. Skipping this NVR.",
                     kHelp1, kHelp2,
                     "No 'Login' attribute defined for NVR 127.0.0.8 in zoTolvex.xml file. Skipping this NVR.",
                     "No 'Password' attribute defined in zoTolvex.xml file for user  on 127.0.0.8. Skipping this NVR.",
                     kHelp1, kHelp2,
                     "Loaded config for server at 127.0.0.9",
                     "Connecting to track camera at 127.0.0.90:1000"}),
              Logged());
    EXPECT_EQ(1u, nvrs.size());
    EXPECT_EQ(1u, cameras.size());
}

TEST_F(ComponentLoadConfig, PelcoNumbersAreCheckedAcrossServersAndEveryClashIsReported)
{
    EXPECT_EQ(-1, Load("<zoTolvex>"
                       "<NVR Address=\"127.0.0.2\" Login=\"u\" Password=\"p\">"
                       "<Camera Address=\"127.0.0.21\" Port=\"9\" PelcoNumber=\"2\"/>"
                       "<Camera Address=\"127.0.0.22\" Port=\"9\" PelcoNumber=\"2\"/></NVR>"
                       "<NVR Address=\"127.0.0.2\" Login=\"u\" Password=\"p\">"
                       "<Camera Address=\"127.0.0.23\" Port=\"9\" PelcoNumber=\"2\"/>"
                       "<Camera Address=\"127.0.0.21\" Port=\"9\" PelcoNumber=\"7\"/>"
                       "<Camera/></NVR>"
                       "</zoTolvex>"));
    const Lines lines = Logged();
    int clashes = 0;
    for (const std::string& line : lines)
        clashes += (line == "*** Error: Configuration has multiple entries with PelcoNumber=2");
    EXPECT_EQ(3, clashes) << "one for the second camera, two for the third";
    EXPECT_EQ(1u, nvrs.size()) << "a repeated server address keeps the first connection";
    EXPECT_EQ(3u, cameras.size()) << "a repeated camera address keeps the first camera; an empty one is left out";
    EXPECT_EQ(2u, cameras.at("127.0.0.21")->pelcoNumber);
    EXPECT_EQ("Missing or empty 'Address' attribute for <Camera> entry in zoTolvex.xml file. Skipping.", lines.back());

    EXPECT_EQ(-1, Load("<zoTolvex><NVR Login=\"u\" Password=\"p\"><Camera Address=\"127.0.0.31\" Port=\"9\"/>"
                       "<Camera Address=\"127.0.0.32\" Port=\"9\"/></NVR></zoTolvex>"))
        << "two cameras that both leave PelcoNumber out share number 1";
    EXPECT_EQ("*** Error: Configuration has multiple entries with PelcoNumber=1", Logged().back());
}
