// Link specifiers and module discovery.
//
// A linkSpec says everything the link layer needs to open a link to one module.
// Shared-device servers also send it over the network as it is, so its layout is
// a wire format: 128 bytes, little-endian, the same in memory and on the wire.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "Tandril2/common/vError.h"

// The transport of a link. Values are part of the wire record; never renumber.
enum linkType : uint32_t {
    INVALID = 0,        // no transport; refused by the link layer and by discovery
    USB = 1,            // module attached by USB
    TCPIP = 2,          // module with its own TCP/IP interface
    SERIAL = 3,         // module on a serial port (COBS framing); not discoverable
    VETHER = 4,         // served by a shared-device server, served link unspecified
    VETHER_USB = 5,     // served module whose own link is USB
    VETHER_TCPIP = 6,   // served module whose own link is TCP/IP
    VETHER_SERIAL = 7,  // served module whose own link is serial
};

// "INVALID", "USB", ... ; "unknown" for a value outside the enumeration.
const char* vLinkType_Name(uint32_t type);
// True for the served kinds (VETHER .. VETHER_SERIAL).
inline bool vLinkType_IsVEther(uint32_t type) { return type >= VETHER && type <= VETHER_SERIAL; }

constexpr size_t kLinkSpecSize = 128;
constexpr size_t kLinkSpecPortNameSize = 100;

struct linkSpec {
    uint32_t type;               // linkType
    uint32_t serial_num;         // module serial number
    uint32_t module;             // module address on its I2C network, 0 when unknown
    uint32_t router;             // address of the module that routes for it
    uint32_t router_serial_num;  // serial number of that routing module
    uint32_t model;              // model code
    union {
        uint32_t usb_id;      // USB: equal to the serial number
        uint32_t ip_address;  // TCP/IP and vEther: IPv4 address, network byte order
        uint32_t baudrate;    // serial
    };
    union {
        uint32_t ip_port;                        // TCP/IP and vEther: TCP port (low 16 bits)
        char port_name[kLinkSpecPortNameSize];   // serial: device name, NUL-terminated
    };
};

// The record travels unchanged, so the host must lay it out as the wire does.
static_assert(std::endian::native == std::endian::little,
              "linkSpec is sent as it is in memory; a big-endian host needs conversions");
static_assert(sizeof(linkSpec) == kLinkSpecSize);
static_assert(offsetof(linkSpec, serial_num) == 4);
static_assert(offsetof(linkSpec, model) == 20);
static_assert(offsetof(linkSpec, usb_id) == 24);
static_assert(offsetof(linkSpec, ip_port) == 28);
static_assert(offsetof(linkSpec, port_name) == 28);

// Network discovery constants, shared with the shared-device server that answers.
constexpr const char* kTcpipQueryGroup = "232.2.2.2";
constexpr uint16_t kTcpipQueryPort = 9888;   // the 16-byte query goes here
constexpr uint16_t kTcpipReplyPort = 9889;   // modules answer here
constexpr size_t kTcpipQuerySize = 16;
constexpr const char* kVEtherGroup = "224.0.0.7";
constexpr uint16_t kVEtherQueryPort = 9850;  // + slot; a server listens on its slot
constexpr uint16_t kVEtherReplyPort = 9950;  // + slot
constexpr int kVEtherSlots = 50;
constexpr uint32_t kVEtherQueryValue = 0xABCDDCBA; // little-endian on the wire
constexpr uint16_t kBeaconPort = 8585;
constexpr const char* kBeaconSearchText = "Tandril2-Discovery";
constexpr int kBeaconIntervalMs = 100;

// Trace areas of discovery and USB access (bits of vTandrilDebuggingLevel).
constexpr uint32_t vTRACE_MULTICAST = 0x8;
constexpr uint32_t vTRACE_DISCOVERY = 0x10;
constexpr uint32_t vTRACE_BEACON_INTERFACE = 0x200;
constexpr uint32_t vTRACE_USB = 0x400;
// Writes a trace line to standard output when the library's debugging switch is on
// and `area` is set in its level; off by default.
void vDiscovery_Trace(uint32_t area, const char* format, ...) __attribute__((format(printf, 2, 3)));

// A new zeroed specifier of the given type, owned by the caller; null when memory is short.
linkSpec* vLinkSpec_Create(uint32_t type);
// A new copy of all 128 bytes; null for a null specifier or when memory is short.
linkSpec* vLinkSpec_Copy(const linkSpec* spec);
// Frees the specifier and clears the pointer. vErrParam for a null pointer or specifier.
vErr vLinkSpec_Destroy(linkSpec** spec);

// Called once per module found. `spec` is valid only during the call (copy what you
// keep). Set *found to count the module; return false to end the enumeration.
typedef bool (*vDiscoveryCallback)(const linkSpec* spec, bool* found, void* reference);

// One enumeration in progress: hands specifiers to the caller's callback and counts.
struct vDiscoveryRun {
    vDiscoveryCallback callback;
    void* reference;
    uint8_t count;  // specifiers the callback counted (saturates at 255)
    bool stopped;   // the callback asked to stop
};
// Offers one specifier to the callback. Returns false once the enumeration must stop.
bool vDiscovery_Offer(vDiscoveryRun* run, const linkSpec* spec);
// The transports' own enumerations (platform layer).
void _findLinkSpecs_usb(uint32_t type, vDiscoveryRun* run);
void _findLinkSpecs_tcpip(vDiscoveryRun* run, uint32_t netInterface);

// Enumerates the modules reachable by `type` (USB, TCPIP, or a vEther kind; any other
// type finds nothing) and returns how many the callback counted. `netInterface` is an
// IPv4 address in network byte order; 0 and 127.0.0.1 mean no particular interface.
// Reports no errors: a transport that cannot be used contributes nothing.
uint8_t vDiscovery_EnumerateModules(uint32_t type, vDiscoveryCallback callback, void* reference,
                                    uint32_t netInterface);
// A new specifier (owned by the caller) of the first module with that serial number,
// or null when none answers.
linkSpec* vDiscovery_FindModule(uint32_t type, uint32_t serialNumber, uint32_t netInterface);
// A new specifier of the first module with a non-zero serial number, or null.
linkSpec* vDiscovery_FindFirstModule(uint32_t type, uint32_t netInterface);
// The served-module part of the enumeration: local multicast query when
// `netInterface` is 0/127.0.0.1 (or the machine has no IPv4 interface), beacons on
// that interface otherwise. Returns the count.
uint8_t vDiscovery_Enumerate_vEtherModules(vDiscoveryCallback callback, void* reference,
                                           uint32_t netInterface);
// Fills `addresses` (network byte order) with the machine's IPv4 interfaces as the
// CZMQ interface list reports them, at most `capacity`. Returns the count, 0 for a null array.
int vDiscovery_GetIPv4Interfaces(uint32_t* addresses, int capacity);
// Writes the dotted text of `address` (network byte order). Returns its length, or 0
// when `size` is below 16 or the conversion fails.
int vDiscovery_ConvertIPv4Interface(uint32_t address, char* buffer, size_t size);
