#include "Tandril2/objects/Entity.h"

#include "Tandril2/objects/Link.h"
#include "Tandril2/objects/Module.h"

namespace Vornic::Tandril {

struct EntityClass::impl {
    EntityClass* owner;
    Module* module = nullptr;
    uint8_t command = 0;
    uint8_t index = 0;

    explicit impl(EntityClass* entity) : owner(entity) {}

    Link* link() const { return module != nullptr ? module->getLink() : nullptr; }
    uint8_t address() const { return module->getModuleAddress(); }
};

namespace {

uei sRecord(ueiType type)
{
    uei record{};
    record.type = type;
    return record;
}

// The typed getters' value from a decoded reply (a stale streamed value counts too).
template <typename T>
vErr sTake(vErr result, const uei& record, T* value)
{
    if (result == vErrNone || result == vErrStreamStale) {
        if constexpr (sizeof(T) == 1)
            *value = record.value.byteVal;
        else if constexpr (sizeof(T) == 2)
            *value = record.value.shortVal;
        else
            *value = record.value.intVal;
    }
    return result;
}

} // namespace

EntityClass::EntityClass() : d(std::make_unique<impl>(this)) {}

EntityClass::~EntityClass() = default;

void EntityClass::init(Module* module, uint8_t command, uint8_t index)
{
    d->module = module;
    d->command = command;
    d->index = index;
}

uint8_t EntityClass::getIndex() const { return d->index; }

vErr EntityClass::sendPacket(uint8_t command, uint8_t length, const uint8_t* data)
{
    Link* link = d->link();
    if (link == nullptr)
        return vErrResource;
    return link->sendPacket(d->address(), command, length, data);
}

vErr EntityClass::receivePacket(const uint8_t* match, uint8_t* length, uint8_t* buffer)
{
    Link* link = d->link();
    if (link == nullptr)
        return vErrResource;
    return link->receivePacket(d->address(), match, length, buffer);
}

// One request and its reply: the request carries `requestBits` in the option and the
// host bit in the specifier; the reply is awaited with `replyBits` in the option and
// the bare index. `subindex` < 0 for none.
static vErr sExchange(Link* link, uint8_t address, uint8_t command, uint8_t index, uint8_t option,
                      uint8_t requestBits, uint8_t replyBits, uei* record, int subindex)
{
    if (link == nullptr)
        return vErrResource;
    if (record == nullptr)
        return vErrParam;
    uint8_t bare = option & ueiOPTION_MASK;
    index &= ueiSPECIFIER_INDEX_MASK;
    record->module = address;
    record->command = command;
    record->option = bare | requestBits;
    record->specifier = index | ueiSPECIFIER_HOST;
    vErr result = subindex < 0 ? link->sendUEI(*record) : link->sendUEI(*record, static_cast<uint8_t>(subindex));
    if (result != vErrNone)
        return result;
    record->option = bare | replyBits;
    record->specifier = index;
    if (vErr received = link->receiveUEI(address, command, record->option, index, record); received != vErrNone)
        return received;
    return vUEI_ReplyResult(record);
}

vErr EntityClass::getUEI(uint8_t option, uei* record)
{
    Link* link = d->link();
    return sExchange(link, link ? d->address() : 0, d->command, d->index, option, ueiOPTION_GET, 0, record, -1);
}

vErr EntityClass::setUEI(uint8_t option, uei* record)
{
    Link* link = d->link();
    return sExchange(link, link ? d->address() : 0, d->command, d->index, option, ueiOPTION_SET, ueiOPTION_ACK,
                     record, -1);
}

vErr EntityClass::setUEI(uint8_t option, uint8_t subindex, uei* record)
{
    Link* link = d->link();
    return sExchange(link, link ? d->address() : 0, d->command, d->index, option, ueiOPTION_SET, ueiOPTION_ACK,
                     record, subindex);
}

vErr EntityClass::callUEI(uint8_t option)
{
    uei record = sRecord(ueiTypeVoid);
    return setUEI(option, &record);
}

namespace {

template <typename T>
void sStore(uei& record, T value)
{
    if constexpr (sizeof(T) == 1) {
        record.type = ueiTypeByte;
        record.value.byteVal = value;
    } else if constexpr (sizeof(T) == 2) {
        record.type = ueiTypeShort;
        record.value.shortVal = value;
    } else {
        record.type = ueiTypeInt;
        record.value.intVal = value;
    }
}

template <typename T>
vErr sSet(EntityClass& entity, uint8_t option, int subindex, T value)
{
    uei record{};
    sStore(record, value);
    return subindex < 0 ? entity.setUEI(option, &record) : entity.setUEI(option, static_cast<uint8_t>(subindex), &record);
}

// With a subindex the request carries it as its one value byte.
template <typename T>
vErr sGet(EntityClass& entity, uint8_t option, int subindex, T* value)
{
    if (value == nullptr)
        return vErrParam;
    uei record = sRecord(ueiTypeVoid);
    if (subindex >= 0)
        sStore(record, static_cast<uint8_t>(subindex));
    return sTake(entity.getUEI(option, &record), record, value);
}

} // namespace

vErr EntityClass::setUEI8(uint8_t option, uint8_t value) { return sSet(*this, option, -1, value); }
vErr EntityClass::setUEI16(uint8_t option, uint16_t value) { return sSet(*this, option, -1, value); }
vErr EntityClass::setUEI32(uint8_t option, uint32_t value) { return sSet(*this, option, -1, value); }
vErr EntityClass::setUEI8(uint8_t option, uint8_t subindex, uint8_t value) { return sSet(*this, option, subindex, value); }
vErr EntityClass::setUEI16(uint8_t option, uint8_t subindex, uint16_t value) { return sSet(*this, option, subindex, value); }
vErr EntityClass::setUEI32(uint8_t option, uint8_t subindex, uint32_t value) { return sSet(*this, option, subindex, value); }
vErr EntityClass::getUEI8(uint8_t option, uint8_t* value) { return sGet(*this, option, -1, value); }
vErr EntityClass::getUEI16(uint8_t option, uint16_t* value) { return sGet(*this, option, -1, value); }
vErr EntityClass::getUEI32(uint8_t option, uint32_t* value) { return sGet(*this, option, -1, value); }
vErr EntityClass::getUEI8(uint8_t option, uint8_t subindex, uint8_t* value) { return sGet(*this, option, subindex, value); }
vErr EntityClass::getUEI16(uint8_t option, uint8_t subindex, uint16_t* value) { return sGet(*this, option, subindex, value); }
vErr EntityClass::getUEI32(uint8_t option, uint8_t subindex, uint32_t* value) { return sGet(*this, option, subindex, value); }

vErr EntityClass::setUEIBytes(uint8_t option, const uint8_t* data, size_t length)
{
    uei record = sRecord(ueiTypeBytes);
    record.value.bytes = const_cast<uint8_t*>(data);
    record.bytesSize = length;
    return setUEI(option, &record);
}

vErr EntityClass::getUEIBytes(uint8_t option, uint8_t* buffer, size_t capacity, size_t* count)
{
    if (buffer == nullptr || count == nullptr || capacity == 0)
        return vErrParam;
    *count = 0;
    Link* link = d->link();
    if (link == nullptr)
        return vErrResource;
    uint8_t bare = option & ueiOPTION_MASK;
    uint8_t index = d->index & ueiSPECIFIER_INDEX_MASK;
    uei request = sRecord(ueiTypeVoid);
    request.module = d->address();
    request.command = d->command;
    request.option = bare | ueiOPTION_GET;
    request.specifier = index | ueiSPECIFIER_HOST;
    if (vErr result = link->sendUEI(request); result != vErrNone)
        return result;

    uei receive = sRecord(ueiTypeBytes);
    receive.module = request.module;
    receive.command = d->command;
    receive.option = bare;
    receive.specifier = index;
    receive.value.bytes = buffer;
    receive.bytesSize = capacity;
    receive.bytesReceived = count;
    for (;;) {
        vErr result = link->receiveUEI(receive.module, d->command, bare, index, &receive, Link::sUEIBytesFilter);
        if (result != vErrNone)
            return result;
        if (receive.specifier & ueiSPECIFIER_ERROR)
            return vUEI_ReplyResult(&receive);
        if (!receive.more)
            return vErrNone;
        receive.sequence = (receive.sequence + 1) & ueiBYTES_SEQUENCE_MASK;
    }
}

vErr EntityClass::getUEIBytesCheck(size_t* count, size_t unitSize)
{
    if (count == nullptr)
        return vErrParam;
    if (unitSize == 0) {
        if (*count != 0)
            return vErrMemory;
        return vErrNone;
    }
    if (*count % unitSize != 0)
        return vErrMemory;
    *count /= unitSize;
    return vErrNone;
}

vErr EntityClass::awaitUEI32Val(uint8_t option, uint32_t* value)
{
    Link* link = d->link();
    if (link == nullptr)
        return vErrResource;
    if (value == nullptr)
        return vErrParam;
    uei record = sRecord(ueiTypeVoid);
    record.module = d->address();
    record.command = d->command;
    record.option = option & ueiOPTION_MASK;
    record.specifier = d->index & ueiSPECIFIER_INDEX_MASK;
    if (vErr result = link->receiveUEI(record.module, d->command, record.option, d->index, &record);
        result != vErrNone)
        return result;
    return sTake(vUEI_ReplyResult(&record), record, value);
}

vErr EntityClass::drainUEI(uint8_t option)
{
    Link* link = d->link();
    if (link == nullptr)
        return vErrResource;
    return link->dropMatchingUEIPackets(d->address(), d->command, option & ueiOPTION_MASK,
                                        d->index & ueiSPECIFIER_INDEX_MASK);
}

namespace {
enum StoreOption : uint8_t { kStoreSave = 0, kStoreFactory = 1, kStoreLoad = 2 };

// The store entity is told which entity by its command and index in one word.
vErr sStoreRequest(Module* module, uint8_t command, uint8_t index, uint8_t option)
{
    EntityClass store;
    store.init(module, cmdSTORE, 0);
    return store.setUEI32(option, static_cast<uint32_t>(command) * 256 + index);
}
} // namespace

vErr EntityClass::saveEntityToStore() { return sStoreRequest(d->module, d->command, d->index, kStoreSave); }
vErr EntityClass::resetEntityToFactoryDefaults() { return sStoreRequest(d->module, d->command, d->index, kStoreFactory); }
vErr EntityClass::loadEntityFromStore() { return sStoreRequest(d->module, d->command, d->index, kStoreLoad); }

} // namespace Vornic::Tandril
