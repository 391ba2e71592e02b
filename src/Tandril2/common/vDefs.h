// Facts of the module family shared by the host and anything standing in for a module:
// command (entity class) bytes, the link-level addresses, and the model-name table.
#pragma once

#include <cstddef>
#include <cstdint>

// Command bytes (data[0] of a command packet).
constexpr uint8_t cmdHEARTBEAT = 0;
constexpr uint8_t cmdSYSTEM = 3;
constexpr uint8_t cmdSTORE_SLOT = 4;
constexpr uint8_t cmdI2C = 8;
constexpr uint8_t cmdDEBUG = 23;
constexpr uint8_t cmdMODULE_INFO = 73;
constexpr uint8_t cmdSTORE = 92;
constexpr uint8_t cmdFACTORY = 94;
constexpr uint8_t cmdUPGRADE = 95;

// Link-level packets only the host sends; their addresses are odd on purpose so that
// they can never collide with a module's.
constexpr uint8_t cmdMAGIC = 0xAD;      // no data; answered by an empty packet
constexpr uint8_t cmdFORCEROUTE = 0xAF; // one data byte: 1 link starts, 0 link stops

typedef struct vDefsModel {
    uint8_t code;     // the model byte a module reports
    const char* name; // display name, at most vDEFS_MODEL_NAME_MAX characters
} vDefsModel;

constexpr size_t vDEFS_MODEL_NAME_MAX = 12;

// Every model of the family, one row per code, codes ascending.
extern const vDefsModel vDefsModelTable[];
extern const size_t vDefsModelCount;

// The display name of a model code, or "Unknown" for a code not in the table.
// Never null; the text is constant.
const char* vDefs_GetModelName(uint8_t model);
