// What the virtual update server knows: devices by serial number with their
// firmware name, builds and token, and boot-ROM fingerprints with the serial number
// and recovery build they stand for. Read from "catalogue.txt" in a catalogue
// directory that also holds the BIRD files; the format is in the README section of
// the virtual update server.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>

namespace tandril::sim {

struct CatalogueBuild {
    std::string version; // sent as it stands, so broken versions can be served too
    std::string file;    // BIRD file name inside the catalogue directory
};

struct CatalogueDevice {
    std::string firmware;
    unsigned long current = 0; // the build QueryBuild names; 0 means none
    std::map<unsigned long, CatalogueBuild> builds;
    std::string token;
};

struct CatalogueRecovery {
    uint32_t serial = 0;
    unsigned long build = 0;
};

using FingerprintWords = std::array<uint32_t, 4>;

struct Catalogue {
    std::filesystem::path dir;
    std::map<uint32_t, CatalogueDevice> devices;
    std::map<FingerprintWords, CatalogueRecovery> fingerprints;

    // Reads dir/"catalogue.txt". Throws std::runtime_error naming the file and line of
    // the first mistake: unknown sections or keys, malformed numbers, a build listed
    // twice, a BIRD file that is not in the directory.
    static Catalogue Load(const std::filesystem::path& dir);
    // The same from text already read; `dir` is where the BIRD files are.
    static Catalogue Parse(const std::string& text, const std::filesystem::path& dir);

    static constexpr const char* kFileName = "catalogue.txt";
};

} // namespace tandril::sim
