// One module the program talks to: its address on the modules' own network, whether
// that address is learnt when connecting, and the Link it owns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "Tandril2/common/discover.h"
#include "Tandril2/common/vError.h"
#include "Tandril2/objects/Link.h"

namespace Vornic::Tandril {

class Module {
public:
    // With networking mode on, every connect ends by asking the module its address.
    // `model` filters connects without a serial number (0: any).
    Module(uint8_t address, uint8_t model);
    Module(uint8_t address, bool networkingMode, uint8_t model);
    virtual ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    // discoverAndConnect; vErrParam for serial number 0.
    vErr connect(uint32_t type, uint32_t serialNumber);
    // The link's discoverAndConnect with this module's model, then the address learning.
    vErr discoverAndConnect(uint32_t type, uint32_t serialNumber);
    // Connects with the given specifier. vErrInitialization (no link), vErrBusy
    // (connected), vErrParam (null), or the link's connect codes.
    vErr connectFromSpec(const linkSpec* specifier);
    // Reaches this module through the link of `router`, a connected module that routes
    // for it, sharing that link. Keeps this module's address and turns networking
    // mode off. vErrNone at once when connected; vErrInitialization, vErrParam (null),
    // vErrNotFound (the router has no specifier), or the link's codes.
    vErr connectThroughLinkModule(Module* router);
    // Connects again with the stored specifier, then learns the address.
    vErr reconnect();
    // vErrInitialization without a link.
    vErr disconnect();
    bool isConnected() const;
    // The link's status; vLinkStatusFifoError (8) without a link.
    vLinkStatus getStatus() const;

    uint8_t getModuleAddress() const;
    void setModuleAddress(uint8_t address);
    void setNetworkingMode(bool on);
    bool getNetworkingMode() const;
    Link* getLink() const;
    // vErrNotReady without a link; else the link's codes.
    vErr getLinkSpecifier(linkSpec* specifier) const;
    vErr getConfig(vEtherConfig* config) const;
    vErr setConfig(const vEtherConfig& config);
    vErr enablePacketLog(const char* path);
    vErr disablePacketLog();

    // Module queries (raw command packets; vErrConnection when not connected).
    // Build number. vErrParam (null), vErrInitialization (no link), vErrSize (a reply
    // that is not 6 data bytes), vErrTimeout.
    vErr getBuild(uint32_t* build);
    // Whether the module has the UEI (command, option, index) for the request bits
    // (0x40 get or 0x80 set): the module's answer, vErrNone when it has it.
    // vErrParam (bits 0..5 set, or both 0x40 and 0x80), vErrUnknown (an answer of
    // another form), vErrTimeout.
    vErr hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t requestBits);
    // Number of entities of a class, of a subclass, and the group of an entity.
    // vErrParam (null), vErrUnknown (an answer of another form), vErrTimeout.
    vErr classQuantity(uint8_t command, uint8_t* count);
    vErr subClassQuantity(uint8_t command, uint8_t subclass, uint8_t* count);
    vErr entityGroup(uint8_t command, uint8_t index, uint8_t* group);
    // Echo test: vErrNone when the module sends the bytes back unchanged, else vErrIO.
    // vErrParam (more than 27 bytes, null data with a size).
    vErr debug(const uint8_t* data, uint8_t size);

private:
    vErr _autoNetwork();
    // Sends (command, request...) and takes the next packet whose first data byte is
    // `command`. vErrConnection, vErrTimeout.
    vErr _query(uint8_t command, const uint8_t* request, uint8_t requestLength, uint8_t* reply,
                uint8_t* replyLength);

    // A cmdMODULE_INFO query whose answer must be `replyLength` data bytes echoing the
    // first `echoed` request bytes; *answer is its last byte. vErrUnknown otherwise.
    vErr _infoQuery(const uint8_t* request, uint8_t requestLength, uint8_t echoed, uint8_t replyLength,
                    uint8_t* answer);

    std::unique_ptr<Link> link;
    uint8_t moduleAddress;
    bool networkingMode;
    uint8_t model;
};

} // namespace Vornic::Tandril
