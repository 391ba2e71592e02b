// How a Module reaches its module: a link specifier, the network-sharing
// configuration, and the id of its link in the process-wide link table. Offers the
// two transfer primitives everything else is built from: raw command packets and UEI
// commands.
#pragma once

#include <arpa/inet.h>

#include <cstdint>
#include <memory>

#include "Tandril2/common/discover.h"
#include "Tandril2/common/packetfifo.h"
#include "Tandril2/common/vError.h"
#include "Tandril2/common/vLink.h"
#include "Tandril2/common/vUEI.h"

// A Link's sharing configuration. Serving (a USB, TCP/IP or serial link used through
// a local shared-device server) is not available in this build: a link with
// `enabled` set cannot be created, so callers that only want a direct link turn it off.
struct vEtherConfig {
    uint8_t enabled = 1;   // serve the link; allow connecting to served (VETHER) modules
    uint8_t fallback = 1;  // when a discovery connect fails, try once the other kind of transport
    uint8_t localOnly = 1; // the server serves and announces on this host only
    uint16_t port = 0;     // server port; 0 lets the server choose
    uint32_t networkInterface = htonl(INADDR_LOOPBACK); // IPv4, network byte order
};

namespace Vornic::Tandril {

class Link {
public:
    // Longest name kept; longer names are cut.
    static constexpr size_t kMaxName = 1024;
    // How long a reply is awaited, and for a bytes value of more than kLargePayload bytes.
    static constexpr uint32_t kReplyTimeoutMs = 1000;
    static constexpr uint32_t kLargeReplyTimeoutMs = 4000;
    static constexpr size_t kLargePayload = 1000;

    explicit Link(const char* name);
    Link(const linkSpec* specifier, const char* name);
    // Releases this holder's link (the transport closes with the last holder).
    virtual ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // Creates the link from the stored specifier and waits until it runs.
    // vErrConfiguration (no specifier; a served kind while serving is off),
    // vErrConnection (a link is held already, or it could not be made), vErrMode
    // (a transport type the link layer does not know), vErrBusy (the link is stopping).
    vErr connect();
    // Finds the module by discovery (by serial number, or else the first of the
    // model; model 0 takes any), stores its specifier and connects. With fallback on,
    // a USB or TCP/IP attempt that finds or reaches nothing is repeated once as a
    // served (VETHER) module, and a VETHER one as USB. vErrNotFound, or connect's codes.
    vErr discoverAndConnect(uint32_t type, uint32_t serialNumber, uint8_t model);
    // Shares the link of `other` (one holder more) instead of opening the transport
    // again. vErrInitialization when `other` holds no link; else connect's codes.
    vErr connectThroughLinkModule(const Link* other);

    // True while the link id names a running link.
    bool isConnected() const;
    // The link's status; vLinkStatusFifoError (8) without a link id.
    vLinkStatus getStatus() const;
    // Releases the link id. Always vErrNone.
    vErr disconnect();
    // Rebuilds the transport of the held link. Always vErrNone.
    vErr reset();
    // 0 when not connected.
    int32_t getLinkId() const;

    // Asks the module its address with cmdMAGIC (first empty packet within 1 s, from
    // any address). *address is 0 unless found. vErrNotReady (not connected, no answer),
    // vErrParam (null pointer).
    vErr getModuleAddress(uint8_t* address);

    // Queues (command, data[0..length-1]) to the address. vErrConnection (not
    // connected), vErrParam (length above 27, null data with a length), vErrPacket
    // (address 0 or odd).
    vErr sendPacket(uint8_t address, uint8_t command, uint8_t length, const uint8_t* data);
    // Waits up to 1 s for the first packet whose first *length data bytes equal
    // `match` (from any address) and copies all its data bytes into `buffer`, which
    // must hold 28; *length becomes its data size. A packet received before the link
    // went down still counts. vErrConnection (no link, or a link that is down and
    // holds no such packet), vErrPacket, vErrParam (null pointers, *length above 28),
    // vErrTimeout.
    vErr receivePacket(uint8_t address, const uint8_t* match, uint8_t* length, uint8_t* buffer);

    // Sends the record (a bytes record as its series of packets). vErrConnection,
    // vErrPacket (module 0 or odd), vErrParam (a type that cannot be sent),
    // vErrResource, or the first failing put's code.
    vErr sendUEI(const uei& record);
    // A fixed-width record with a subindex byte before the value.
    vErr sendUEI(const uei& record, uint8_t subindex);
    // Waits (1 s; 4 s for a bytes record of more than 1000 bytes) for the first
    // packet that `filter` accepts with the record as its reference; the filter fills
    // the record. Without a filter, the reply to the record (module, command, exact
    // option, index) is taken into it. Codes as for receivePacket.
    vErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* record);
    vErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* record,
                    vPacketFifoFilter filter);
    // Drops every received reply to (module, command, option, index).
    // vErrConnection, vErrPacket.
    vErr dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t index);

    // Pooled writes on the held link. vErrConnection without one.
    vErr enablePooledPackets(bool on);

    // vErrParam (null pointer), vErrNotFound (none stored).
    vErr getLinkSpecifier(linkSpec* specifier) const;
    // vErrBusy while connected, vErrParam (null), vErrMemory.
    vErr setLinkSpecifier(const linkSpec* specifier);
    // vErrParam (null pointer).
    vErr getConfig(vEtherConfig* config) const;
    // vErrMode while connected.
    vErr setConfig(const vEtherConfig& config);

    const char* getName() const;

    // Writes the link's packets to the file at `path` (appended) until disabled.
    // vErrConfiguration (no link id), vErrParam (null path), vErrBusy (a log is being
    // written already), vErrResource (the log or the file could not be made).
    vErr enablePacketLog(const char* path);
    // vErrNotReady when no log is being written.
    vErr disablePacketLog();

    // The filter of UEI replies: a packet from record->module whose command, exact
    // option and index bits match the record's, with more than 2 data bytes; the
    // value (or the error) is taken into the record.
    static uint8_t sUEIFilter(const vPacket* packet, void* record);
    // The filter of a bytes reply: the next packet of the series (or an error reply)
    // is taken into the receive record; packets of another sequence stay queued.
    static uint8_t sUEIBytesFilter(const vPacket* packet, void* record);

private:
    vErr waitForLink(int polls);
    vErr noReply() const;
    vErr createFromSpecifier(int32_t reference);
    vErr findAndConnect(uint32_t type, uint32_t serialNumber, uint8_t model);

    struct impl;
    std::unique_ptr<impl> d;
};

} // namespace Vornic::Tandril
