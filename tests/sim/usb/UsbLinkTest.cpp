// Links and Module objects over the virtual USB bus: the link engine's reader and
// writer on the libusb stream, synchronisation, UEI traffic, and finding a module
// again after it re-enumerated.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "Tandril2/common/vLink.h"
#include "Tandril2/objects/Module.h"
#include "Tandril2/objects/SystemClass.h"
#include "Tandril2/unix/tdusb_driver.h"
#include "TestSupport.h"
#include "UsbModule.h"

using namespace tandril::sim;
using namespace tandril::sim::usb;
using Vornic::Tandril::Module;
using Vornic::Tandril::SystemClass;

namespace {

const bool kPreloaded = runUnderPreload();

ModuleConfig usbConfig(uint32_t serial) {
    ModuleConfig config;
    config.serial = serial;
    config.model = 0x13;
    config.build = 4321;
    return config;
}

void localOnly(Module& module) {
    vEtherConfig config;
    config.enabled = 0;
    config.fallback = 0;
    module.setConfig(config);
}

} // namespace

TEST(UsbLink, CreateUsbSynchronisesAndCarriesUeiTraffic) {
    ASSERT_TRUE(kPreloaded);
    VirtualUsbBus bus;
    std::string error;
    auto module = UsbModule::create(bus, usbConfig(0x00C0FFEE), error);
    ASSERT_NE(module, nullptr) << error;

    int32_t id = vLink_CreateUSB(0x00C0FFEE);
    ASSERT_NE(id, 0);
    EXPECT_EQ(vLink_Sync(id), vErrNone);
    EXPECT_GE(module->withCore([](ModuleCore& c) { return c.stats().magicAnswered; }), 2u);
    EXPECT_EQ(module->withCore([](ModuleCore& c) { return c.stats().forceRoute; }), 1);
    // A second link to the same serial number shares the first.
    int32_t again = vLink_CreateUSB(0x00C0FFEE);
    EXPECT_EQ(again, id);
    vLink_Destroy(&again);
    vLink_Destroy(&id);
    Tandril_libusb_exit();
}

TEST(UsbLink, ModuleIsFoundAgainAfterItReenumerates) {
    ASSERT_TRUE(kPreloaded);
    VirtualUsbBus bus;
    std::string error;
    auto module = UsbModule::create(bus, usbConfig(0x0012ABCD), error);
    ASSERT_NE(module, nullptr) << error;

    Module host(2, uint8_t(0x13));
    localOnly(host);
    ASSERT_EQ(host.discoverAndConnect(USB, 0x0012ABCD), vErrNone);
    SystemClass system;
    system.init(&host, 0);
    uint32_t value = 0;
    ASSERT_EQ(system.getSerialNumber(&value), vErrNone);
    EXPECT_EQ(value, 0x0012ABCDu);
    const int before = module->device().deviceNumber();

    // It re-enumerates: gone from the bus, back with another device number.
    module->device().unplug();
    ASSERT_TRUE(module->device().plug(&error)) << error;
    EXPECT_NE(module->device().deviceNumber(), before);
    host.disconnect();
    Tandril_libusb_exit();
    ASSERT_EQ(host.discoverAndConnect(USB, 0x0012ABCD), vErrNone);
    ASSERT_EQ(host.getBuild(&value), vErrNone);
    EXPECT_EQ(value, 4321u);
    host.disconnect();
    Tandril_libusb_exit();
}
