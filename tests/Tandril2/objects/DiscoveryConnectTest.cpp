// Connecting by discovery: TCP/IP modules found by serial number or by model on a
// private network, and what a search that finds nothing returns.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "DiscoveryResponder.h"
#include "ModuleServer.h"
#include "ObjectsFixture.h"
#include "TestSupport.h"
#include "Tandril2/objects/Module.h"
#include "Tandril2/objects/SystemClass.h"

using namespace Vornic::Tandril;
using tandril::sim::DiscoveryResponder;
using tandril::sim::ModuleConfig;
using tandril::sim::TcpModuleServer;
using tandril::test::directConfig;

namespace {

// Two TCP/IP modules on the private network, answering discovery queries.
class NetworkModules : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::vector<DiscoveryResponder::Module> answers;
        for (auto [serial, address, model] : {std::tuple{0x00C0FFEEu, 6, 0x21}, std::tuple{0x00BEEF01u, 8, 0x22}}) {
            ModuleConfig config;
            config.serial = serial;
            config.address = static_cast<uint8_t>(address);
            config.model = static_cast<uint8_t>(model);
            config.heartbeatMs = 0;
            std::string error;
            auto server = TcpModuleServer::create(config, tandril::test::kPrivateAddrA, 0, error);
            ASSERT_TRUE(server) << error;
            answers.push_back({config.address, server->port(), config.serial, config.model});
            servers.push_back(std::move(server));
        }
        std::string error;
        responder = DiscoveryResponder::create(tandril::test::kPrivateAddrA, answers, error);
        ASSERT_TRUE(responder) << error;
    }

    uint32_t serialOf(Module& module)
    {
        SystemClass system;
        system.init(&module, 0);
        uint32_t serial = 0;
        EXPECT_EQ(system.getSerialNumber(&serial), vErrNone);
        return serial;
    }

    std::vector<std::unique_ptr<TcpModuleServer>> servers;
    std::unique_ptr<DiscoveryResponder> responder;
};

TEST_F(NetworkModules, ConnectBySerialNumberLearnsTheModulesAddress)
{
    Module module(2, 0);
    ASSERT_EQ(module.setConfig(directConfig()), vErrNone);
    ASSERT_EQ(module.connect(TCPIP, 0x00BEEF01), vErrNone);
    EXPECT_EQ(module.getModuleAddress(), 8);
    EXPECT_EQ(serialOf(module), 0x00BEEF01u);
    linkSpec spec{};
    ASSERT_EQ(module.getLinkSpecifier(&spec), vErrNone);
    EXPECT_EQ(spec.type, static_cast<uint32_t>(TCPIP));
    EXPECT_EQ(spec.ip_port, servers[1]->port());
}

TEST_F(NetworkModules, ConnectWithoutSerialNumberTakesTheFirstOfTheModel)
{
    Module module(2, 0x22);
    ASSERT_EQ(module.setConfig(directConfig()), vErrNone);
    ASSERT_EQ(module.discoverAndConnect(TCPIP, 0), vErrNone);
    EXPECT_EQ(serialOf(module), 0x00BEEF01u);

    Module missing(2, 0x55);
    ASSERT_EQ(missing.setConfig(directConfig()), vErrNone);
    EXPECT_EQ(missing.discoverAndConnect(TCPIP, 0), vErrNotFound);
}

TEST_F(NetworkModules, SearchesThatFindNothing)
{
    struct Case {
        uint32_t type;
        uint8_t fallback;
    };
    // With fallback on, the served (VETHER) kind is tried too; nothing serves here.
    for (Case c : {Case{TCPIP, 0}, Case{TCPIP, 1}, Case{USB, 1}}) {
        Module module(2, 0);
        vEtherConfig config = directConfig();
        config.fallback = c.fallback;
        ASSERT_EQ(module.setConfig(config), vErrNone);
        EXPECT_EQ(module.connect(c.type, 0x0DDBA11), vErrNotFound) << c.type << "/" << int(c.fallback);
        EXPECT_FALSE(module.isConnected());
    }
}

} // namespace
