// A virtual module on a loopback TCP port and a Module connected to it directly
// (serving off), shared by the object-layer tests.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <memory>
#include <string>

#include "ModuleServer.h"
#include "Tandril2/objects/Module.h"

namespace tandril::test {

inline vEtherConfig directConfig()
{
    vEtherConfig config;
    config.enabled = 0;
    config.fallback = 0;
    return config;
}

inline linkSpec tcpSpec(uint32_t serial, uint16_t port)
{
    linkSpec spec{};
    spec.type = TCPIP;
    spec.serial_num = serial;
    spec.ip_address = htonl(INADDR_LOOPBACK);
    spec.ip_port = port;
    return spec;
}

class ModuleOverTcp : public ::testing::Test {
protected:
    // The module the tests talk to; adjust in the subclass's constructor.
    tandril::sim::ModuleConfig config = [] {
        tandril::sim::ModuleConfig c;
        c.address = 6;
        c.heartbeatMs = 0;
        return c;
    }();

    void SetUp() override
    {
        std::string error;
        server = tandril::sim::TcpModuleServer::create(config, "127.0.0.1", 0, error);
        ASSERT_TRUE(server) << error;
        ASSERT_EQ(module.setConfig(directConfig()), vErrNone);
        linkSpec spec = tcpSpec(config.serial, server->port());
        ASSERT_EQ(module.connectFromSpec(&spec), vErrNone);
    }

    std::unique_ptr<tandril::sim::TcpModuleServer> server;
    // Address 2 until the connect learns the real one.
    Vornic::Tandril::Module module{2, 0};
};

} // namespace tandril::test
