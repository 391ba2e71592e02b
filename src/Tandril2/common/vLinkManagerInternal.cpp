#include "Tandril2/common/vLinkManagerInternal.h"

#include <list>
#include <mutex>
#include <new>

namespace {

// The table: newest entry first. Ids are never reused within a process.
struct LinkTable {
    std::mutex mutex; // "vLink_Managed"
    std::list<vLinkEntryRef> entries;
    int32_t nextId = 1;
};

// Never destroyed: links still open when the process exits keep running threads
// that use their records until the very end.
LinkTable& sTable()
{
    static LinkTable* table = new LinkTable;
    return *table;
}

vLinkEntryRef sFindLocked(LinkTable& table, int32_t id)
{
    for (auto& entry : table.entries)
        if (entry->id == id)
            return entry;
    return nullptr;
}

} // namespace

vLinkEntryRef sLookupEntryByID(int32_t id)
{
    auto& table = sTable();
    std::lock_guard lock(table.mutex);
    return sFindLocked(table, id);
}

vLinkEntryRef sLookupEntryByIdentifier(int32_t ident0, int32_t type)
{
    auto& table = sTable();
    std::lock_guard lock(table.mutex);
    for (auto& entry : table.entries)
        if (entry->ident0 == ident0 && entry->type == type)
            return entry;
    return nullptr;
}

vLinkEntryRef sLookupEntryByTrident(int32_t ident0, int32_t ident1, int32_t ident2)
{
    auto& table = sTable();
    std::lock_guard lock(table.mutex);
    for (auto& entry : table.entries)
        if (entry->ident0 == ident0 && entry->ident1 == ident1 && entry->ident2 == ident2)
            return entry;
    return nullptr;
}

vLinkEntryRef sCreate2(int32_t ident0, int32_t ident1, int32_t ident2, int32_t type)
{
    vLinkEntryRef entry;
    try {
        entry = std::make_shared<vLinkEntry>();
        entry->link = std::make_shared<vLink>();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    entry->ident0 = ident0;
    entry->ident1 = ident1;
    entry->ident2 = ident2;
    entry->type = type;
    auto& table = sTable();
    std::lock_guard lock(table.mutex);
    entry->id = table.nextId++;
    table.entries.push_front(entry);
    return entry;
}

vLinkEntryRef sCreate(int32_t ident0, int32_t ident1, int32_t type) { return sCreate2(ident0, ident1, 0, type); }

vLinkEntryRef sExtractEntry(int32_t id)
{
    auto& table = sTable();
    std::lock_guard lock(table.mutex);
    for (auto it = table.entries.begin(); it != table.entries.end(); ++it) {
        if ((*it)->id == id) {
            vLinkEntryRef entry = *it;
            table.entries.erase(it);
            return entry;
        }
    }
    return nullptr;
}

int16_t sChangeUseCount(vLinkEntry* entry, int16_t delta)
{
    auto& table = sTable();
    std::lock_guard lock(table.mutex);
    entry->useCount = static_cast<int16_t>(entry->useCount + delta);
    return entry->useCount;
}

vLinkEntryRef sShareEntryByIdentifier(int32_t ident0, int32_t type, bool evenIfServed, bool* served)
{
    auto& table = sTable();
    std::lock_guard lock(table.mutex);
    if (served != nullptr)
        *served = false;
    for (auto& entry : table.entries) {
        if (entry->ident0 != ident0 || entry->type != type)
            continue;
        if (entry->server != nullptr && !evenIfServed) {
            if (served != nullptr)
                *served = true;
            return nullptr;
        }
        entry->useCount++;
        return entry;
    }
    return nullptr;
}

vLinkEntryRef sShareEntryByID(int32_t id)
{
    auto& table = sTable();
    std::lock_guard lock(table.mutex);
    vLinkEntryRef entry = sFindLocked(table, id);
    if (entry)
        entry->useCount++;
    return entry;
}

int sReleaseEntry(int32_t id, vLinkEntryRef* last)
{
    auto& table = sTable();
    std::lock_guard lock(table.mutex);
    for (auto it = table.entries.begin(); it != table.entries.end(); ++it) {
        vLinkEntryRef entry = *it;
        if (entry->id != id)
            continue;
        entry->useCount--;
        if (entry->useCount > 0)
            return entry->useCount;
        table.entries.erase(it);
        *last = entry;
        return 0;
    }
    return -1;
}

std::shared_ptr<vLink> sGetLink(int32_t id)
{
    auto& table = sTable();
    std::lock_guard lock(table.mutex);
    vLinkEntryRef entry = sFindLocked(table, id);
    return entry ? entry->link : nullptr;
}

int sLinkTableSize()
{
    auto& table = sTable();
    std::lock_guard lock(table.mutex);
    return static_cast<int>(table.entries.size());
}
